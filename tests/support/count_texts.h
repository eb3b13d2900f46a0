#pragma once
// One-line texts of the face and triangle counts that the triangle extraction
// counters and the per-solid diagnostics both carry, so a test states them at once.
#include <string>

// "faces <boundary>/<triangulated>/<untriangulated>".
template <typename Counts>
std::string FaceCountsText(const Counts& c) {
  return "faces " + std::to_string(c.boundaryFaceCount) + "/" +
         std::to_string(c.triangulatedBoundaryFaceCount) + "/" +
         std::to_string(c.untriangulatedBoundaryFaceCount);
}

// "triangles <tessellated>/<retained>/<discarded degenerate>".
template <typename Counts>
std::string TriangleCountsText(const Counts& c) {
  return "triangles " + std::to_string(c.tessellatedTriangleCount) + "/" +
         std::to_string(c.retainedTriangleCount) + "/" +
         std::to_string(c.discardedDegenerateTriangleCount);
}
