#include "core/base/crc32.h"

#include <libdeflate.h>

#include "core/base/helper_thread.h"

namespace velk {

uint32_t Crc32(Bytes data, uint32_t crc) {
  // libdeflate treats a null buffer as a request for the initial value and
  // returns 0, which an empty span's data() may be: the running value must
  // pass through unchanged instead.
  if (data.empty()) return crc;
  return libdeflate_crc32(crc, data.data(), data.size());
}

namespace {

// The CRC polynomial in reflected bit order: bit 31 holds x^0, bit 0 x^31.
constexpr uint32_t kPolynomial = 0xEDB88320;
constexpr uint32_t kOne = uint32_t{1} << 31;  // the polynomial 1 (x^0)

// a * b modulo the CRC polynomial, one bit of a (x^0 up to x^31) at a time.
uint32_t MultiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = kOne; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;  // b *= x
  }
  return product;
}

// x^(8 * bytes) modulo the CRC polynomial, by squaring: 64 steps at most.
uint32_t ShiftByBytes(uint64_t bytes) {
  uint32_t result = kOne;
  uint32_t power = kOne >> 8;  // x^8, one byte
  for (; bytes != 0; bytes >>= 1) {
    if (bytes & 1) result = MultiplyModP(result, power);
    power = MultiplyModP(power, power);
  }
  return result;
}

}  // namespace

uint32_t Crc32Combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
  // Appending length_b bytes multiplies a's CRC by x^(8 * length_b); the
  // initial value and final XOR of the two parts cancel in the sum.
  return MultiplyModP(ShiftByBytes(length_b), crc_a) ^ crc_b;
}

uint32_t Crc32Wide(Bytes data) {
  if (data.size() < kWideCrcMinBytes) return Crc32(data);
  const Bytes head = data.first(data.size() / 2);
  const Bytes tail = data.subspan(head.size());
  uint32_t tail_crc = 0;
  HelperThread helper([&] { tail_crc = Crc32(tail); });
  const uint32_t head_crc = Crc32(head);
  helper.Wait();
  return Crc32Combine(head_crc, tail_crc, tail.size());
}

}  // namespace velk
