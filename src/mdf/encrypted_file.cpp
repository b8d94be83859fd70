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

// Overwrites the first n bytes of the content with zeros. The content was sized before any
// plaintext went in, so these writes stay within its memory and never reallocate it.
void wipe_memory(Stream* content, uint64_t n) {
  static const uint8_t zeros[PIECE_SIZE] = {};
  if (stream_seek(content, 0, SEEK_FROM_START) != 0) return;
  while (n > 0) {
    uint64_t piece = n < PIECE_SIZE ? n : PIECE_SIZE;
    if (stream_write(content, zeros, piece) != static_cast<int64_t>(piece)) return;
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

// Sets the cipher up for decryption, feeds it the first 52 bytes of the file as additional
// data and reads the tag; *plain_size receives the size of the ciphertext. Leaves `stream`
// standing at the ciphertext.
bool start_cipher(mbedtls_cipher_context_t* cipher, Stream* stream, const uint8_t key[KEY_SIZE],
                  const uint8_t* iv, uint8_t tag[ENCRYPTED_TAG_SIZE], uint64_t* plain_size) {
  const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_type(MBEDTLS_CIPHER_AES_256_GCM);
  if (!info || mbedtls_cipher_setup(cipher, info) != 0) return false;
  if (mbedtls_cipher_setkey(cipher, key, static_cast<int>(KEY_SIZE * 8), MBEDTLS_DECRYPT) != 0)
    return false;
  if (mbedtls_cipher_set_iv(cipher, iv, ENCRYPTED_IV_SIZE) != 0) return false;
  if (mbedtls_cipher_reset(cipher) != 0) return false;
  const int64_t size = stream_seek(stream, 0, SEEK_FROM_END);
  if (size < ENCRYPTED_MIN_SIZE) return false;
  if (stream_seek(stream, size - ENCRYPTED_TAG_SIZE, SEEK_FROM_START) < 0) return false;
  if (read_full(stream, tag, ENCRYPTED_TAG_SIZE) != ENCRYPTED_TAG_SIZE) return false;
  uint8_t aad[ENCRYPTED_PAYLOAD_OFFSET];
  if (stream_seek(stream, 0, SEEK_FROM_START) != 0) return false;
  if (read_full(stream, aad, sizeof aad) != sizeof aad) return false;
  if (mbedtls_cipher_update_ad(cipher, aad, sizeof aad) != 0) return false;
  *plain_size = static_cast<uint64_t>(size - ENCRYPTED_MIN_SIZE);
  return true;
}

// Reads the next `want` bytes of ciphertext into `at` and decrypts them in place. Pieces are
// whole reads except the last: GCM updates must stay on 16-byte block boundaries until the
// final one.
bool decrypt_piece(mbedtls_cipher_context_t* cipher, Stream* stream, uint8_t* at, uint64_t want) {
  size_t out_length = 0;
  return read_full(stream, at, want) == want &&
         mbedtls_cipher_update(cipher, at, want, at, &out_length) == 0 && out_length == want;
}

// Decrypts plain_size bytes into memory of the content, taken at once so that it is never
// reallocated while it holds plaintext (no copy of it is left in freed memory). *written counts
// the bytes that reached it (ciphertext read but not decrypted included), so that a failure
// can wipe them.
bool decrypt_in_memory(mbedtls_cipher_context_t* cipher, Stream* stream, Stream* content,
                       uint64_t plain_size, uint64_t* written) {
  uint8_t* plain = spill_stream_append_room(content, plain_size);
  if (!plain && plain_size > 0) return false;
  for (uint64_t done = 0; done < plain_size;) {
    uint64_t want = plain_size - done < PIECE_SIZE ? plain_size - done : PIECE_SIZE;
    *written += want;
    if (!decrypt_piece(cipher, stream, plain + done, want)) return false;
    done += want;
  }
  return true;
}

// Decrypts plain_size bytes piece by piece into the content's temporary file, so that no
// more than a piece of plaintext is in memory at a time; the piece is wiped at the end.
bool decrypt_to_file(mbedtls_cipher_context_t* cipher, Stream* stream, Stream* content,
                     uint64_t plain_size) {
  if (!spill_stream_to_file(content)) return false;
  uint8_t piece[PIECE_SIZE];
  bool ok = true;
  for (uint64_t done = 0; ok && done < plain_size;) {
    uint64_t want = plain_size - done < PIECE_SIZE ? plain_size - done : PIECE_SIZE;
    ok = decrypt_piece(cipher, stream, piece, want) &&
         stream_write(content, piece, want) == static_cast<int64_t>(want);
    done += want;
  }
  mbedtls_platform_zeroize(piece, sizeof piece);
  return ok;
}

// Decrypts the ciphertext of `stream` into `content`: in its memory up to memory_threshold
// bytes of plaintext, in its temporary file beyond. *in_memory counts the plaintext bytes that
// reached memory, so that a failure can wipe them.
bool decrypt_payload(Stream* stream, const uint8_t key[KEY_SIZE], const uint8_t* iv,
                     Stream* content, uint64_t memory_threshold, uint64_t* in_memory) {
  mbedtls_cipher_context_t cipher;
  mbedtls_cipher_init(&cipher);
  uint8_t out[16];  // room for what finish may give back
  uint8_t tag[ENCRYPTED_TAG_SIZE];
  size_t out_length = 0;
  uint64_t plain_size = 0;
  bool ok = start_cipher(&cipher, stream, key, iv, tag, &plain_size);
  if (ok && plain_size <= memory_threshold) {
    ok = decrypt_in_memory(&cipher, stream, content, plain_size, in_memory);
  } else if (ok) {
    ok = decrypt_to_file(&cipher, stream, content, plain_size);
  }
  ok = ok && mbedtls_cipher_finish(&cipher, out, &out_length) == 0;
  if (ok && out_length > 0) {
    // GCM gives nothing back here; were it to, these bytes would follow the rest.
    ok = stream_write(content, out, out_length) == static_cast<int64_t>(out_length);
    if (plain_size <= memory_threshold) *in_memory += out_length;
  }
  ok = ok && mbedtls_cipher_check_tag(&cipher, tag, sizeof tag) == 0;
  mbedtls_platform_zeroize(out, sizeof out);
  mbedtls_cipher_free(&cipher);
  return ok;
}

}  // namespace

Stream* encrypted_file_open(Stream* stream, const ContainerHeader* header, StringView password,
                            uint64_t memory_threshold) {
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

  DecodedContainerStream* result = decoded_container_new(header, memory_threshold);
  if (!result) return nullptr;

  uint8_t key[KEY_SIZE];
  uint64_t in_memory = 0;
  bool ok = derive_key(password, salt, iterations, key) &&
            decrypt_payload(stream, key, iv, result->content, memory_threshold, &in_memory);
  mbedtls_platform_zeroize(key, sizeof key);
  if (!ok) {
    // Plaintext in the temporary file vanishes with it; plaintext in memory is wiped first.
    wipe_memory(result->content, in_memory);
    stream_close(&result->base);
    return nullptr;
  }
  return &result->base;
}
