#pragma once
// Meshing a kernel shape with the program's fixed mesher settings, for STEP
// sources and generated solids alike, and naming the mesher's status bits.
#include <TopoDS_Shape.hxx>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "kernel/occt_compat.h"

// Steps of every Open CASCADE progress report of kernel work.
inline constexpr std::uint64_t kPlCadPrepKernelProgressTotal = 1000;

// Mesh status bits of the mesher; 0x200 and above are unknown.
inline constexpr std::uint32_t kPlCadPrepMeshStatusRemesh = 0x8;
inline constexpr std::uint32_t kPlCadPrepMeshStatusReused = 0x80;

// The names of the set bits of a mesher status, in bit order, plus one
// "unknown" when any bit at or above 0x200 is set.
std::vector<std::string> PlCadPrepMeshStatusNames(std::uint32_t flags);

// The import's fixed mesher settings at the given deflections.
PlCadPrepMeshParameters PlCadPrepImportMeshParameters(double linearDeflectionMm,
                                                      double angularDeflectionRadians);

// Meshes `shape` in place with the import's fixed mesher settings (absolute
// deflections, interior equal to boundary, no parallel work, surface
// deflection control, model cleaning) under an indicator on stage "mesh" that
// covers [start, start + span] of kPlCadPrepKernelProgressTotal, and returns
// the mesher's status flags. Every solid the program tessellates goes through
// it. Before meshing it reserves the mesher's estimated memory (stage "mesh",
// the context's "memory_limit_exceeded" when it does not fit). Throws
// "step_tessellation_failed" (stage "mesh") when the mesher does not finish,
// after the context has named any cancellation or overdue run, and the
// kernel's Standard_OutOfMemory when an allocation failed inside the mesher;
// kernel exceptions propagate to the caller's boundary.
std::uint32_t TessellatePlCadPrepShape(const TopoDS_Shape& shape, double linearDeflectionMm,
                                       double angularDeflectionRadians,
                                       const PlCadPrepOperationContext& context,
                                       const ProgressCallback& progress, std::uint64_t start,
                                       std::uint64_t span);

// Stands in for a TessellatePlCadPrepShape of `shape` whose faces an identical
// pass over the same solids has already triangulated, so meshing again would
// give the same triangles, steps and `flags`: reserves the same mesher
// estimate, reports each of `steps` (the steps that pass reported) moved by
// `offset` under stage "mesh" of kPlCadPrepKernelProgressTotal, polling the
// context before each, and returns `flags`.
std::uint32_t ReplayPlCadPrepTessellation(const TopoDS_Shape& shape, double linearDeflectionMm,
                                          double angularDeflectionRadians,
                                          const PlCadPrepOperationContext& context,
                                          const ProgressCallback& progress,
                                          std::span<const std::uint64_t> steps,
                                          std::uint64_t offset, std::uint32_t flags);
