// Encrypted log files: AES-256-GCM under a key derived from the device password with
// PBKDF2-HMAC-SHA-256; the tag covers the first 52 bytes of the file as well.
#pragma once

#include <cstdint>

#include "io/stream.h"
#include "mdf/container.h"
#include "support/dyn_string.h"

// Container layout behind the header: initialisation vector, iteration count, salt; the
// ciphertext runs from ENCRYPTED_PAYLOAD_OFFSET to the 16-byte tag at the end of the file.
constexpr int64_t ENCRYPTED_IV_SIZE = 12;
constexpr int64_t ENCRYPTED_SALT_SIZE = 16;
constexpr int64_t ENCRYPTED_TAG_SIZE = 16;
constexpr int64_t ENCRYPTED_PAYLOAD_OFFSET = 52;
constexpr int64_t ENCRYPTED_MIN_SIZE = ENCRYPTED_PAYLOAD_OFFSET + ENCRYPTED_TAG_SIZE;
// The count is read from the file; a damaged or hostile one could hold a run for hours
// before the tag check fails, so larger counts are refused before any derivation.
constexpr uint32_t ENCRYPTED_MAX_ITERATIONS = 10'000'000;

// Decrypts the encrypted container that `stream` holds (the caller keeps `stream`) into a
// stream over the plaintext, standing at its end. The result forwards to content that it owns:
// memory for a plaintext of up to `memory_threshold` bytes; beyond, an unlinked temporary file
// (never linked into a folder, gone when the result is closed or the process ends) into which
// the plaintext is decrypted piece by piece. Null, with nothing logged, when the header is not
// that of an encrypted container, a field is unreadable, the iteration count is too large,
// the file is shorter than 68 bytes, a cipher step fails or the tag does not match (wrong
// password or altered file); a temporary file that cannot be written is logged. A failure
// leaves no plaintext behind in memory; a temporary file holds plaintext before the tag is
// checked (unlinked, it is gone with the process, though its disk blocks are not wiped).
Stream* encrypted_file_open(Stream* stream, const ContainerHeader* header, StringView password,
                            uint64_t memory_threshold = CONTAINER_MEMORY_THRESHOLD);
