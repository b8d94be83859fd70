// The formatting floor of a conversion: writes the rows of an output tree again, with the same
// row count and values per row, formatted with stb_sprintf "%f" into a buffer and written one
// row per call to files of the same tree shape. Reading the tree is not timed.
//
//   bench_e2e_floor <converted tree> <floor tree> [fast]
// With "fast" the numbers are formatted by our own six-decimal formatter (same bytes) instead:
// the floor of this program's own CSV writing.
// prints: wall_seconds cpu_seconds rows values bytes
#include <stb/stb_sprintf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixed_format.h"

namespace fs = std::filesystem;

namespace {

struct OutFile {
  std::string relative;
  std::string header;
  uint32_t columns = 0;  // values per row, time included
  FILE* stream = nullptr;
};

struct Row {
  double time;
  uint32_t file;
  uint64_t first_value;  // index into the value array; time is the first
};

bool load_tree(const fs::path& root, std::vector<OutFile>& files, std::vector<Row>& rows,
               std::vector<double>& values) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().extension() == ".csv")
      paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::string text;
  for (const fs::path& path : paths) {
    FILE* in = fopen(path.c_str(), "rb");
    if (!in) return false;
    text.clear();
    char chunk[1 << 16];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
    fclose(in);
    OutFile file;
    file.relative = fs::relative(path, root).string();
    size_t eol = text.find('\n');
    if (eol == std::string::npos) return false;
    file.header = text.substr(0, eol + 1);
    file.columns =
        static_cast<uint32_t>(std::count(file.header.begin(), file.header.end(), ',') + 1);
    uint32_t index = static_cast<uint32_t>(files.size());
    files.push_back(std::move(file));
    const char* p = text.c_str() + eol + 1;
    const char* end = text.c_str() + text.size();
    while (p < end) {
      Row row{0, index, values.size()};
      for (uint32_t c = 0; c < files.back().columns; ++c) {
        char* after;
        values.push_back(strtod(p, &after));
        if (after == p) return false;
        p = after + 1;  // the "," or the line feed
      }
      row.time = values[row.first_value];
      rows.push_back(row);
    }
  }
  // The converter writes rows in frame order, interleaved over the open files.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.time < b.time; });
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && std::string(argv[3]) == "fast")) {
    fprintf(stderr, "usage: %s <converted tree> <floor tree> [fast]\n", argv[0]);
    return 2;
  }
  const bool fast = argc == 4;
  std::vector<OutFile> files;
  std::vector<Row> rows;
  std::vector<double> values;
  if (!load_tree(argv[1], files, rows, values)) {
    fprintf(stderr, "cannot read the converted tree %s\n", argv[1]);
    return 1;
  }
  fs::path out = argv[2];
  fs::remove_all(out);

  auto start = std::chrono::steady_clock::now();
  std::clock_t cpu_start = std::clock();
  char line[16384];
  uint64_t bytes = 0;
  for (OutFile& file : files) {
    fs::path path = out / file.relative;
    fs::create_directories(path.parent_path());
    file.stream = fopen(path.c_str(), "wb");
    if (!file.stream) return 1;
    fwrite(file.header.data(), 1, file.header.size(), file.stream);
    bytes += file.header.size();
  }
  for (const Row& row : rows) {
    const OutFile& file = files[row.file];
    const double* v = &values[row.first_value];
    int length = 0;
    if (fast) {
      char* end = format_fixed6(line, v[0]);
      for (uint32_t c = 1; c < file.columns && end - line < static_cast<long>(sizeof line) - 400;
           ++c) {
        *end++ = ',';
        end = format_fixed6(end, v[c]);
      }
      length = static_cast<int>(end - line);
    } else {
      length = stbsp_snprintf(line, sizeof line, "%f", v[0]);
      for (uint32_t c = 1; c < file.columns; ++c)
        length +=
            stbsp_snprintf(line + length, static_cast<int>(sizeof line) - length, ",%f", v[c]);
    }
    line[length++] = '\n';
    fwrite(line, 1, static_cast<size_t>(length), file.stream);
    bytes += static_cast<uint64_t>(length);
  }
  for (OutFile& file : files) fclose(file.stream);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  printf("%.6f %.6f %zu %zu %llu\n", seconds, cpu, rows.size(), values.size(),
         static_cast<unsigned long long>(bytes));
  return 0;
}
