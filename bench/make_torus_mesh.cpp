// Writes one finely tessellated, closed and consistently wound torus as a binary
// STL, an ASCII STL and an OBJ, for timing the mesh readers on large inputs.
//
//   make_torus_mesh <output folder> [around segments] [tube segments]
//
// The folder and its parents are created when missing. The defaults
// (1100 x 450) give 495,000 vertices and 990,000 triangles, just inside the
// runtime limits.
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr double kMajorRadiusMm = 100.0;
constexpr double kMinorRadiusMm = 30.0;
constexpr std::size_t kWriteBufferBytes = 1 << 20;

using Point = std::array<float, 3>;

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { (void)std::fclose(file); }
};

// Buffered output that reports a failed write or close once, at the end.
class Output {
 public:
  explicit Output(const std::filesystem::path& path) : name(path.string()) {
    file.reset(std::fopen(name.c_str(), "wb"));
    ok = file != nullptr;
    buffer.reserve(kWriteBufferBytes + 4096);
  }
  void Write(std::string_view bytes) {
    buffer.append(bytes);
    if (buffer.size() >= kWriteBufferBytes) Flush();
  }
  void U32(std::uint32_t value) {
    const std::array<char, 4> bytes = {
        static_cast<char>(value & 0xFFu), static_cast<char>((value >> 8) & 0xFFu),
        static_cast<char>((value >> 16) & 0xFFu), static_cast<char>((value >> 24) & 0xFFu)};
    Write(std::string_view(bytes.data(), bytes.size()));
  }
  void F32(float value) { U32(std::bit_cast<std::uint32_t>(value)); }
  // Text of `value` in the exponent form many exporters write ("1.234567e+01").
  void Scientific(double value) {
    std::array<char, 32> text{};
    const std::to_chars_result result = std::to_chars(text.data(), text.data() + text.size(), value,
                                                      std::chars_format::scientific, 6);
    Write(std::string_view(text.data(), static_cast<std::size_t>(result.ptr - text.data())));
  }
  // Shortest text that reads back as the same float.
  void Shortest(float value) {
    std::array<char, 32> text{};
    const std::to_chars_result result =
        std::to_chars(text.data(), text.data() + text.size(), value);
    Write(std::string_view(text.data(), static_cast<std::size_t>(result.ptr - text.data())));
  }
  // Three values apart by single spaces, each written by `put`, and a line feed.
  template <typename Values, typename Put>
  void Triple(const Values& values, const Put& put) {
    put(values[0]);
    Write(" ");
    put(values[1]);
    Write(" ");
    put(values[2]);
    Write("\n");
  }
  void Unsigned(std::uint64_t value) {
    std::array<char, 24> text{};
    const std::to_chars_result result =
        std::to_chars(text.data(), text.data() + text.size(), value);
    Write(std::string_view(text.data(), static_cast<std::size_t>(result.ptr - text.data())));
  }
  bool Close() {
    Flush();
    if (file != nullptr && std::fclose(file.release()) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "make_torus_mesh: could not write %s\n", name.c_str());
    return ok;
  }

 private:
  void Flush() {
    if (ok && !buffer.empty() &&
        std::fwrite(buffer.data(), 1, buffer.size(), file.get()) != buffer.size()) {
      ok = false;
    }
    buffer.clear();
  }
  std::string name;
  std::unique_ptr<std::FILE, FileCloser> file;
  std::string buffer;
  bool ok = false;
};

struct Torus {
  std::vector<Point> points;
  std::vector<std::array<std::uint32_t, 3>> triangles;
};

// Grid vertex (i, j) is computed once, so every facet that shares it writes the
// same bits and the readers weld it back together exactly.
Torus MakeTorus(std::uint32_t around, std::uint32_t tube) {
  Torus torus;
  torus.points.reserve(static_cast<std::size_t>(around) * tube);
  for (std::uint32_t i = 0; i < around; ++i) {
    const double theta = 2.0 * std::numbers::pi * i / around;
    for (std::uint32_t j = 0; j < tube; ++j) {
      const double phi = 2.0 * std::numbers::pi * j / tube;
      const double ring = kMajorRadiusMm + kMinorRadiusMm * std::cos(phi);
      torus.points.push_back({static_cast<float>(ring * std::cos(theta)),
                              static_cast<float>(ring * std::sin(theta)),
                              static_cast<float>(kMinorRadiusMm * std::sin(phi))});
    }
  }
  torus.triangles.reserve(2 * static_cast<std::size_t>(around) * tube);
  const auto index = [&](std::uint32_t i, std::uint32_t j) {
    return (i % around) * tube + (j % tube);
  };
  for (std::uint32_t i = 0; i < around; ++i) {
    for (std::uint32_t j = 0; j < tube; ++j) {
      const std::uint32_t a = index(i, j), b = index(i + 1, j), c = index(i + 1, j + 1),
                          d = index(i, j + 1);
      torus.triangles.push_back({a, b, c});
      torus.triangles.push_back({a, c, d});
    }
  }
  return torus;
}

Point Normal(const Point& a, const Point& b, const Point& c) {
  const double ux = b[0] - a[0], uy = b[1] - a[1], uz = b[2] - a[2];
  const double vx = c[0] - a[0], vy = c[1] - a[1], vz = c[2] - a[2];
  const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
  const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
  return {static_cast<float>(nx / length), static_cast<float>(ny / length),
          static_cast<float>(nz / length)};
}

bool WriteBinaryStl(const Torus& torus, const std::filesystem::path& path) {
  Output out(path);
  std::string header = "binary torus for reader benchmarks";
  header.resize(80, ' ');
  out.Write(header);
  out.U32(static_cast<std::uint32_t>(torus.triangles.size()));
  for (const auto& t : torus.triangles) {
    const Point& a = torus.points[t[0]];
    const Point& b = torus.points[t[1]];
    const Point& c = torus.points[t[2]];
    for (const float v : Normal(a, b, c)) out.F32(v);
    for (const Point* p : {&a, &b, &c}) {
      for (const float v : *p) out.F32(v);
    }
    out.Write(std::string_view("\0\0", 2));
  }
  return out.Close();
}

bool WriteAsciiStl(const Torus& torus, const std::filesystem::path& path) {
  Output out(path);
  out.Write("solid torus\n");
  const auto triple = [&](const Point& p) { out.Triple(p, [&](double v) { out.Scientific(v); }); };
  for (const auto& t : torus.triangles) {
    const Point& a = torus.points[t[0]];
    const Point& b = torus.points[t[1]];
    const Point& c = torus.points[t[2]];
    out.Write("  facet normal ");
    triple(Normal(a, b, c));
    out.Write("    outer loop\n");
    for (const Point* p : {&a, &b, &c}) {
      out.Write("      vertex ");
      triple(*p);
    }
    out.Write("    endloop\n  endfacet\n");
  }
  out.Write("endsolid torus\n");
  return out.Close();
}

bool WriteObj(const Torus& torus, const std::filesystem::path& path) {
  Output out(path);
  out.Write("# torus for reader benchmarks\no torus\n");
  for (const Point& p : torus.points) {
    out.Write("v ");
    out.Triple(p, [&](float v) { out.Shortest(v); });
  }
  for (const auto& t : torus.triangles) {
    out.Write("f ");
    out.Triple(t, [&](std::uint32_t index) { out.Unsigned(index + 1u); });
  }
  return out.Close();
}

// Creates `folder` (and its parents) when missing; false, with the reason on
// stderr, when it cannot be created or is not a folder.
bool EnsureFolder(const std::filesystem::path& folder) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(folder, error);
  if (std::filesystem::exists(status)) {
    if (std::filesystem::is_directory(status)) return true;
    std::fprintf(stderr, "make_torus_mesh: %s exists and is not a folder\n",
                 folder.string().c_str());
    return false;
  }
  if (!std::filesystem::create_directories(folder, error) && error) {
    std::fprintf(stderr, "make_torus_mesh: could not create the folder %s: %s\n",
                 folder.string().c_str(), error.message().c_str());
    return false;
  }
  return true;
}

bool ParseCount(const char* text, std::uint32_t& value) {
  const std::string_view word(text);
  const std::from_chars_result result =
      std::from_chars(word.data(), word.data() + word.size(), value);
  return result.ec == std::errc{} && result.ptr == word.data() + word.size() && value >= 3;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t around = 1100;
  std::uint32_t tube = 450;
  if (argc < 2 || argc > 4 || (argc > 2 && !ParseCount(argv[2], around)) ||
      (argc > 3 && !ParseCount(argv[3], tube))) {
    std::fprintf(stderr, "usage: make_torus_mesh <output folder> [around >= 3] [tube >= 3]\n");
    return 2;
  }
  const std::filesystem::path folder(argv[1]);
  if (!EnsureFolder(folder)) return 1;
  const Torus torus = MakeTorus(around, tube);
  const bool ok = WriteBinaryStl(torus, folder / "torus_binary.stl") &&
                  WriteAsciiStl(torus, folder / "torus_ascii.stl") &&
                  WriteObj(torus, folder / "torus.obj");
  if (!ok) return 1;
  std::printf("%zu vertices, %zu triangles -> %s/{torus_binary.stl,torus_ascii.stl,torus.obj}\n",
              torus.points.size(), torus.triangles.size(), folder.string().c_str());
  return 0;
}
