#pragma once
// The fixed capabilities document: which contract this build speaks.
#include <string>

// The one-line document without its line ending; identical on every run.
std::string CapabilitiesDocument();
