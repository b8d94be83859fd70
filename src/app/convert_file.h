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

// Both paths are relative to the roots; the output path has no extension. With
// --delete-converted a converted input is deleted once its output has been made durable
// (done for many inputs at once) and the next input whose header is read has ended (it may
// repeat this one and is compared with it), or by finish_conversions.
int32_t convert_file(Converter* converter, std::string_view input_path,
                     std::string_view output_path);
// Deletes every converted input that still waits for its deletion, at the end of a run. False
// when the output could not be made durable during the run (inputs were kept then).
bool finish_conversions(Converter* converter);
// Deletes the queued inputs other than the previous input, after making everything written to
// the output's file system durable: when a resumed run takes over the deletions that an
// interrupted run left.
void delete_stale_inputs(Converter* converter);
// Deletes a converted input (a missing one counts as deleted) and journals it; a failure is
// logged with the input's path.
void remove_converted_input(Converter* converter, std::string_view input_path);
