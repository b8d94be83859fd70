// The conversion of one input file: buffer it, unwrap its containers, open it as MDF and
// hand every bus frame of every data group to the converter.
#pragma once

#include <cstdint>
#include <string_view>

struct Converter;

// Result codes, ORed into the exit status by the input walk.
constexpr int32_t CONVERT_OK = 0;
constexpr int32_t CONVERT_NO_PASSWORD = 2;
constexpr int32_t CONVERT_DECOMPRESS_FAILED = 4;
constexpr int32_t CONVERT_FAILED = 8;

// Both paths are relative to the roots; the output path has no extension.
int32_t convert_file(Converter* converter, std::string_view input_path,
                     std::string_view output_path);
