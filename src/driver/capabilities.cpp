#include "driver/capabilities.h"

std::string CapabilitiesDocument() {
  std::string text;
  text += "{\"schema\":\"pelto.geometry.prepare.capabilities.v1\"";
  text += ",\"buildId\":\"PeltoCadPrep-contract-20260804\"";
  text += ",\"policyVersion\":\"pelto.geometry.prepare.v1\"";
  text += ",\"vcpkgBaseline\":\"d015e31e90838a4c9dfa3eed45979bc70d9357fc\"";
  text += ",\"pinnedDependencies\":{\"lib3mf\":\"2.5.0#1\",\"lib3mfLinked\":false";
  text += ",\"opencascade\":\"8.0.0\",\"opencascadeLinked\":true}";
  text += ",\"formats\":[";
  text += "{\"format\":\"step\",\"status\":\"implemented\"}";
  text += ",{\"format\":\"pelto.shape.definition.v1\",\"status\":\"implemented\"}";
  text += ",{\"format\":\"iges\",\"status\":\"not_implemented\"}";
  text += ",{\"format\":\"3mf\",\"status\":\"not_implemented\"}";
  text += ",{\"format\":\"stl\",\"status\":\"implemented\"}";
  text += ",{\"format\":\"obj\",\"status\":\"implemented\"}";
  text += "]}";
  return text;
}
