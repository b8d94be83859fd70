// Decryption of encrypted containers with mbed TLS: PBKDF2-HMAC-SHA-256 for the key and the
// generic cipher layer for AES-256-GCM.
#include "mdf/encrypted_file.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

#include <cstdlib>

#include "mdf/field_reader.h"

namespace {

// Ciphertext is decrypted in place, one piece at a time (a multiple of the 16-byte block).
constexpr uint64_t PIECE_SIZE = 16384;
constexpr size_t KEY_SIZE = 32;

// Reads exactly n bytes unless the stream ends or fails first; the byte count read.
uint64_t read_full(Stream* s, uint8_t* buffer, uint64_t n) {
  uint64_t got = 0;
  while (got < n) {
    int64_t r = stream_read(s, buffer + got, n - got);
    if (r <= 0) break;
    got += static_cast<uint64_t>(r);
  }
  return got;
}

// Overwrites the first n bytes of the memory stream with zeros. The stream was sized before
// any plaintext went in, so these writes stay within its buffer and never reallocate it.
void wipe_memory(Stream* memory, uint64_t n) {
  static const uint8_t zeros[PIECE_SIZE] = {};
  if (stream_seek(memory, 0, SEEK_FROM_START) != 0) return;
  while (n > 0) {
    uint64_t piece = n < PIECE_SIZE ? n : PIECE_SIZE;
    if (stream_write(memory, zeros, piece) != static_cast<int64_t>(piece)) return;
    n -= piece;
  }
}

bool derive_key(StringView password, const uint8_t* salt, uint32_t iterations,
                uint8_t key[KEY_SIZE]) {
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  bool ok = info && mbedtls_md_setup(&md, info, 1) == 0 &&
            mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char*>(password.data),
                                      password.length, salt, ENCRYPTED_SALT_SIZE, iterations,
                                      KEY_SIZE, key) == 0;
  mbedtls_md_free(&md);
  return ok;
}

// Decrypts the ciphertext of `stream` into `memory`; *written counts the plaintext bytes that
// reached it, so that a failure can wipe them.
bool decrypt_payload(Stream* stream, const uint8_t key[KEY_SIZE], const uint8_t* iv, Stream* memory,
                     uint64_t* written) {
  mbedtls_cipher_context_t cipher;
  mbedtls_cipher_init(&cipher);
  uint8_t out[16];  // room for what finish may give back
  uint8_t tag[ENCRYPTED_TAG_SIZE];
  uint8_t aad[ENCRYPTED_PAYLOAD_OFFSET];
  size_t out_length = 0;
  bool ok = false;
  do {
    const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_256_GCM);
    if (!info || mbedtls_cipher_setup(&cipher, info) != 0) break;
    if (mbedtls_cipher_setkey(&cipher, key, static_cast<int>(KEY_SIZE * 8), MBEDTLS_DECRYPT) != 0)
      break;
    if (mbedtls_cipher_set_iv(&cipher, iv, ENCRYPTED_IV_SIZE) != 0) break;
    if (mbedtls_cipher_reset(&cipher) != 0) break;

    if (stream_seek(stream, 0, SEEK_FROM_END) < 0) break;
    const int64_t size = stream_tell(stream);
    if (size < ENCRYPTED_MIN_SIZE) break;
    if (stream_seek(stream, size - ENCRYPTED_TAG_SIZE, SEEK_FROM_START) < 0) break;
    if (read_full(stream, tag, sizeof tag) != sizeof tag) break;
    if (stream_seek(stream, 0, SEEK_FROM_START) != 0) break;
    if (read_full(stream, aad, sizeof aad) != sizeof aad) break;
    if (mbedtls_cipher_update_ad(&cipher, aad, sizeof aad) != 0) break;

    // The whole plaintext's room is taken at once, so that the memory stream is never
    // reallocated while it holds plaintext (no copy of it is left in freed memory). Each
    // piece of ciphertext is read into its place there and decrypted in place.
    const uint64_t plain_size = static_cast<uint64_t>(size - ENCRYPTED_MIN_SIZE);
    uint8_t* plain = memory_stream_append_room(memory, plain_size);
    if (!plain && plain_size > 0) break;

    // Pieces are whole reads except the last: GCM updates must stay on 16-byte block
    // boundaries until the final one.
    uint64_t done = 0;
    bool pieces_ok = true;
    while (done < plain_size && pieces_ok) {
      uint64_t want = plain_size - done < PIECE_SIZE ? plain_size - done : PIECE_SIZE;
      uint8_t* at = plain + done;
      pieces_ok = read_full(stream, at, want) == want &&
                  mbedtls_cipher_update(&cipher, at, want, at, &out_length) == 0 &&
                  out_length == want;
      // Ciphertext that was read but not decrypted is wiped along with the plaintext.
      *written += want;
      done += want;
    }
    if (!pieces_ok) break;
    if (mbedtls_cipher_finish(&cipher, out, &out_length) != 0) break;
    if (out_length > 0) {
      if (stream_write(memory, out, out_length) != static_cast<int64_t>(out_length)) break;
      *written += out_length;
    }
    ok = mbedtls_cipher_check_tag(&cipher, tag, sizeof tag) == 0;
  } while (false);
  mbedtls_platform_zeroize(out, sizeof out);
  mbedtls_cipher_free(&cipher);
  return ok;
}

}  // namespace

Stream* encrypted_file_open(Stream* stream, const ContainerHeader* header, StringView password) {
  if (!stream || !header || (!password.data && password.length)) return nullptr;
  if (header->container_type != CONTAINER_TYPE_ENCRYPTED ||
      header->format_version != CONTAINER_FORMAT_VERSION || header->flag_byte > 1 ||
      header->footer_flag != 0)
    return nullptr;

  uint8_t iv[ENCRYPTED_IV_SIZE];
  uint8_t salt[ENCRYPTED_SALT_SIZE];
  uint32_t iterations = 0;
  FieldReader reader = field_reader_at(stream, CONTAINER_HEADER_SIZE);
  if (!field_read_bytes(&reader, iv, sizeof iv) || !field_read_u32_be(&reader, &iterations) ||
      !field_read_bytes(&reader, salt, sizeof salt))
    return nullptr;
  if (iterations > ENCRYPTED_MAX_ITERATIONS) return nullptr;

  DecodedContainerStream* result = decoded_container_new(header);
  if (!result) return nullptr;

  uint8_t key[KEY_SIZE];
  uint64_t written = 0;
  bool ok = derive_key(password, salt, iterations, key) &&
            decrypt_payload(stream, key, iv, result->memory, &written);
  mbedtls_platform_zeroize(key, sizeof key);
  if (!ok) {
    wipe_memory(result->memory, written);
    stream_close(&result->base);
    return nullptr;
  }
  return &result->base;
}
