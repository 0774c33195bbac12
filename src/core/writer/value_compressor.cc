#include "core/writer/value_compressor.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#define ZSTD_STATIC_LINKING_ONLY  // magicless frames, the frame header parser
#define ZDICT_STATIC_LINKING_ONLY  // the trainer's parameters
#include <zdict.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "core/base/compressed_value.h"
#include "core/base/crc32.h"
#include "core/base/endian.h"
#include "core/base/helper_thread.h"
#include "core/format/format.h"

namespace velk::writer {
namespace {

// A dictionary pays for itself only over enough values: below these, values
// are compressed without one.
constexpr uint64_t kMinTrainBytes = 16 * 1024;
constexpr size_t kMinTrainValues = 64;
// The dictionary's size: about a fiftieth of the values, within zstd's
// usual range.  A larger one helps little and costs the reader cache.
constexpr uint64_t kValueBytesPerDictByte = 50;
constexpr size_t kMinDictSize = 1024;
constexpr size_t kMaxDictSize = 112 * 1024;
// The trainer wants many times the dictionary in samples; past a few
// mebibytes more samples add training time, not ratio.
constexpr uint64_t kSamplesPerDictByte = 10;
constexpr uint64_t kMaxSampleBytes = 4 << 20;
// Sample values run together (every step-th one, up to about kProbeBytes)
// at zstd's fastest level: above this share of their size the values are
// taken as incompressible.
constexpr int kProbeLevel = 1;
constexpr uint64_t kProbeBytes = 64 * 1024;
constexpr double kIncompressible = 0.97;
// Entropy-coding the literals (Huffman) is most of the work of
// decompressing text-like values after the matches themselves.  Values keep
// their literals as they are unless that makes a sample of them more than
// this much larger: documents, where it matters most, grow by under a tenth
// and decompress about a quarter faster; small records barely change size.
constexpr double kRawLiteralsAllowance = 1.10;
// The sample values compressed each way to choose: spread over the whole
// sample, enough to be representative, little next to the build (each
// value compressed costs a context reset, which weighs on small values).
constexpr uint64_t kChoiceBytes = 128 * 1024;
constexpr uint64_t kChoiceValues = 512;
// The trainer's segments (the pieces of the sample it picks for the
// dictionary): about a sampled value long, within these bounds.
constexpr uint64_t kMinSegment = 200;
constexpr uint64_t kMaxSegment = 2000;
// The trainer's frequency table: past 2^17 entries it grows the training
// time, not the ratio (measured on documents, records and short records).
constexpr unsigned kMaxFrequencyLog = 17;

void Check(size_t rc) {
  if (ZSTD_isError(rc)) {
    if (ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation) throw std::bad_alloc();
    // Only a programming mistake (a bad parameter) gets here.
    throw std::logic_error(ZSTD_getErrorName(rc));
  }
}

}  // namespace

void CompressionDictionary::FreeCDict::operator()(ZSTD_CDict_s* d) const { ZSTD_freeCDict(d); }
void ValueCompressor::FreeCCtx::operator()(ZSTD_CCtx_s* c) const { ZSTD_freeCCtx(c); }

CompressionDictionary CompressionDictionary::Train(std::span<const Bytes> values, uint64_t total, int level) {
  CompressionDictionary out;
  out.level_ = level;
  if (total < kMinTrainBytes || values.size() < kMinTrainValues) return out;
  const size_t capacity =
      static_cast<size_t>(std::clamp<uint64_t>(total / kValueBytesPerDictByte, kMinDictSize, kMaxDictSize));

  // An even sample across the values, in their order: every step-th one
  // until the budget is spent.
  const uint64_t budget = std::min<uint64_t>(capacity * kSamplesPerDictByte, kMaxSampleBytes);
  const uint64_t step = std::max<uint64_t>(1, total / budget);
  const size_t piece = static_cast<size_t>(std::clamp<uint64_t>(budget / 64, 4096, kMaxBlockValue));
  std::vector<std::byte> samples;
  std::vector<size_t> sizes;
  samples.reserve(static_cast<size_t>(std::min(total, budget + piece)));
  for (size_t i = 0; i < values.size() && samples.size() < budget; i += step) {
    // The trainer gains nothing from the tail of a long value, and one
    // long value must not fill the sample on its own.
    const Bytes v = values[i].first(std::min<size_t>(values[i].size(), piece));
    samples.insert(samples.end(), v.begin(), v.end());
    sizes.push_back(v.size());
  }
  if (sizes.size() < kMinTrainValues) return out;

  // Values that do not compress even run together, where a dictionary
  // could help most, are kept as they are: neither training nor trying
  // each value on its own would gain anything.
  {
    const uint64_t probe_step = std::max<uint64_t>(1, samples.size() / kProbeBytes);
    std::vector<std::byte> run;
    const std::byte* at = samples.data();
    for (size_t i = 0; i < sizes.size(); at += sizes[i], ++i) {
      if (i % probe_step == 0) run.insert(run.end(), at, at + sizes[i]);
    }
    std::vector<std::byte> probe(ZSTD_compressBound(run.size()));
    const size_t probed = ZSTD_compress(probe.data(), probe.size(), run.data(), run.size(), kProbeLevel);
    Check(probed);
    if (static_cast<double>(probed) > kIncompressible * static_cast<double>(run.size())) {
      out.keep_plain_ = true;
      return out;
    }
  }

  std::vector<std::byte> dict(capacity);
  // fastCover with one set of parameters, on one thread, so the result
  // depends on the sample alone.  Segments of 8-byte matches about as long
  // as a sampled value, and at least 200 bytes, did as well as the
  // trainer's search over segment sizes, at a quarter of its time: for
  // small records 200 bytes; for documents of about 1.4 KB, segments of
  // their length gave 6% smaller values that decompress 8% faster than
  // 200-byte ones.  The frequency table grows with the sample up to
  // kMaxFrequencyLog.
  ZDICT_fastCover_params_t params{};
  params.k = static_cast<unsigned>(
      std::min<uint64_t>({std::max<uint64_t>(kMinSegment, samples.size() / sizes.size()), kMaxSegment, capacity}));
  params.d = 8;
  params.f = 14;
  while (params.f < kMaxFrequencyLog && (uint64_t{1} << params.f) < samples.size()) ++params.f;
  params.accel = 5;
  params.splitPoint = 1.0;
  params.zParams.compressionLevel = level;
  const size_t n = ZDICT_trainFromBuffer_fastCover(dict.data(), dict.size(), samples.data(), sizes.data(),
                                                   static_cast<unsigned>(sizes.size()), params);
  if (ZDICT_isError(n)) return out;  // e.g. values too alike or too few: go without
  dict.resize(n);
  ZSTD_CDict* cdict = ZSTD_createCDict(dict.data(), dict.size(), level);
  if (cdict == nullptr) throw std::bad_alloc();
  out.cdict_.reset(cdict);
  out.bytes_ = std::move(dict);

  // Every step-th sample value compressed on its own both ways, as the
  // values will be: one way on a helper thread, the other on this one.
  const uint64_t choice_step =
      std::max<uint64_t>({1, samples.size() / kChoiceBytes, sizes.size() / kChoiceValues});
  uint64_t sizes_by_mode[2] = {0, 0};
  const auto measure = [&](bool raw) {
    ValueCompressor compressor(out, raw);
    const std::byte* at = samples.data();
    for (size_t i = 0; i < sizes.size(); at += sizes[i], ++i) {
      if (i % choice_step == 0) sizes_by_mode[raw] += compressor.CompressedSize(Bytes(at, sizes[i]));
    }
  };
  std::exception_ptr raw_error;
  {
    HelperThread helper([&] {
      try {
        measure(true);
      } catch (...) {
        raw_error = std::current_exception();
      }
    });
    measure(false);
  }
  if (raw_error) std::rethrow_exception(raw_error);
  out.raw_literals_ = static_cast<double>(sizes_by_mode[1]) <=
                      kRawLiteralsAllowance * static_cast<double>(sizes_by_mode[0]);
  return out;
}

ValueCompressor::ValueCompressor(const CompressionDictionary& dict)
    : ValueCompressor(dict, dict.raw_literals()) {}

ValueCompressor::ValueCompressor(const CompressionDictionary& dict, bool raw_literals) {
  if (dict.keep_plain()) return;
  cctx_.reset(ZSTD_createCCtx());
  if (cctx_ == nullptr) throw std::bad_alloc();
  ZSTD_CCtx* c = cctx_.get();
  // Nothing the record around it already gives: no magic number, no
  // dictionary id (a file has one dictionary), no checksum (the record CRC
  // covers the bytes).  The content size stays: the reader sizes its
  // output from it.
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, dict.level()));
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless));
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0));
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0));
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1));
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_literalCompressionMode,
                               raw_literals ? ZSTD_ps_disable : ZSTD_ps_auto));
  // A value of up to one block is kept as that one block, so it must come
  // out as one: the splitter that the high levels run after finding their
  // sequences would cut it in several, and the value would go uncompressed.
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_splitAfterSequences, ZSTD_ps_disable));
  if (dict.cdict() != nullptr) Check(ZSTD_CCtx_refCDict(c, dict.cdict()));
}

size_t ValueCompressor::CompressedSize(Bytes value) {
  frame_.resize(ZSTD_compressBound(value.size()));
  const size_t n = ZSTD_compress2(cctx_.get(), frame_.data(), frame_.size(), value.data(), value.size());
  Check(n);
  return n;
}

size_t ValueCompressor::Pack(Bytes value, std::vector<std::byte>* out) {
  std::byte head[kMaxWrapperHead];
  uint64_t ignored_length;
  Bytes ignored_body;
  const bool must_wrap = ParseStored(value, &ignored_length, &ignored_body) != StoredForm::kPlain;

  // What compression gives, when it gives something.
  Bytes body;
  if (cctx_ != nullptr && !value.empty() && value.size() <= kMaxPayloadLength - kMaxWrapperHead) {
    frame_.resize(ZSTD_compressBound(value.size()));
    const size_t n = ZSTD_compress2(cctx_.get(), frame_.data(), frame_.size(), value.data(), value.size());
    Check(n);
    const Bytes frame(frame_.data(), n);
    if (value.size() > kMaxBlockValue) {
      body = frame;
    } else {
      // One block follows the frame header; the block alone is kept, and
      // only when zstd compressed it (a raw or repeated-byte block does not
      // pay for its wrapper).
      ZSTD_frameHeader fh;
      Check(ZSTD_getFrameHeader_advanced(&fh, frame.data(), frame.size(), ZSTD_f_zstd1_magicless));
      if (fh.headerSize + kBlockHeaderSize <= frame.size()) {
        const std::byte* b = frame.data() + fh.headerSize;
        const ZstdBlockHeader bh(b);
        const Bytes block = frame.subspan(fh.headerSize + kBlockHeaderSize);
        if (bh.last && bh.type == ZstdBlockHeader::kCompressed && bh.size == block.size()) body = block;
      }
    }
  }

  const size_t start = out->size();
  size_t head_size = 0;
  if (!body.empty()) head_size = WriteWrapperHead(value.size(), body.size(), head);
  if (!body.empty() && head_size + body.size() < value.size()) {
    out->insert(out->end(), head, head + head_size);
    out->insert(out->end(), body.begin(), body.end());
  } else if (must_wrap) {
    head_size = WriteWrapperHead(value.size(), value.size(), head);
    out->insert(out->end(), head, head + head_size);
    out->insert(out->end(), value.begin(), value.end());
  } else {
    out->insert(out->end(), value.begin(), value.end());
  }
  return out->size() - start;
}

bool FitsCompressed(Bytes value) {
  uint64_t length;
  Bytes body;
  return value.size() <= kMaxPayloadLength - kMaxWrapperHead ||
         ParseStored(value, &length, &body) == StoredForm::kPlain;
}

namespace {

// Below this many value bytes a second thread costs more than it saves.
constexpr uint64_t kTwoThreadBytes = 256 * 1024;

// The stored records of the ids [begin, end): their bytes, and where each
// starts within them.
struct RecordRun {
  std::vector<std::byte> data;
  std::vector<uint64_t> starts;
};

template <typename ValueOf, typename Kept>
void CompressRun(const CompressionDictionary& dict, size_t begin, size_t end, const ValueOf& value_of,
                 const Kept& kept, RecordRun* run, uint64_t* stored_bytes) {
  ValueCompressor compressor(dict);
  std::vector<std::byte> stored;
  run->starts.reserve(end - begin);
  for (size_t id = begin; id < end; ++id) {
    stored.clear();
    if (kept(id)) compressor.Pack(value_of(id), &stored);  // no longer than FitsCompressed allows
    *stored_bytes += stored.size();
    std::byte head[kRecordHeaderSize];
    StoreBE<uint32_t>(head, static_cast<uint32_t>(stored.size()));
    StoreBE<uint32_t>(head + sizeof(uint32_t), Crc32(stored));  // after the length
    run->starts.push_back(run->data.size());
    run->data.insert(run->data.end(), head, head + kRecordHeaderSize);
    run->data.insert(run->data.end(), stored.begin(), stored.end());
  }
}

}  // namespace

CompressedRecords CompressRecords(Bytes data, std::span<const uint64_t> offsets,
                                          const std::vector<bool>& keep, int level) {
  const auto value_of = [&](size_t id) {
    const std::byte* record = data.data() + (offsets[id] - kHeaderSize);
    return Bytes(record + kRecordHeaderSize, LoadU32(record));
  };
  const auto kept = [&](size_t id) { return keep.empty() || keep[id]; };

  std::vector<Bytes> values;
  CompressionInfo info;
  info.level = level;
  for (size_t id = 0; id < offsets.size(); ++id) {
    if (!kept(id)) continue;
    values.push_back(value_of(id));
    info.value_bytes += values.back().size();
  }
  const CompressionDictionary dict = CompressionDictionary::Train(values, info.value_bytes, level);
  std::vector<Bytes>().swap(values);

  CompressedRecords out;
  const auto finish = [&] {
    const Bytes d = dict.bytes();
    info.dictionary_size = d.size();
    out.section.resize(kCompressionHeadSize + d.size());
    EncodeCompressionHead(info, out.section.data());
    if (!d.empty()) std::memcpy(out.section.data() + kCompressionHeadSize, d.data(), d.size());
    return std::move(out);
  };
  // Values that do not compress are stored as staged, so the staged
  // records are the file's own, unless a value must be wrapped.
  if (dict.keep_plain()) {
    bool wrap = false;
    uint64_t length;
    Bytes body;
    for (size_t id = 0; id < offsets.size() && !wrap; ++id)
      wrap = kept(id) && ParseStored(value_of(id), &length, &body) != StoredForm::kPlain;
    if (!wrap) {
      info.stored_bytes = info.value_bytes;
      out.as_staged = true;
      return finish();
    }
  }

  // Values compress independently: the ids are cut in two halves of about
  // the same value bytes, the second compressed on a helper thread.
  size_t half = offsets.size();
  if (info.value_bytes >= kTwoThreadBytes) {
    uint64_t seen = 0;
    for (half = 0; half < offsets.size() && seen < info.value_bytes / 2; ++half) {
      if (kept(half)) seen += value_of(half).size();
    }
  }
  RecordRun first, second;
  uint64_t second_bytes = 0;
  std::exception_ptr second_error;
  {
    std::optional<HelperThread> helper;
    if (half < offsets.size()) {
      helper.emplace([&] {
        try {
          CompressRun(dict, half, offsets.size(), value_of, kept, &second, &second_bytes);
        } catch (...) {
          second_error = std::current_exception();
        }
      });
    }
    CompressRun(dict, 0, half, value_of, kept, &first, &info.stored_bytes);
  }
  if (second_error) std::rethrow_exception(second_error);
  info.stored_bytes += second_bytes;

  out.offsets.ReserveFor(offsets.size());
  out.data.ReserveFor(first.data.size() + second.data.size());
  for (const RecordRun* run : {&first, &second}) {
    const uint64_t base = kHeaderSize + out.data.size();
    for (const uint64_t start : run->starts) out.offsets.PushBack(base + start);
    out.data.Append(run->data.data(), run->data.size());
  }
  return finish();
}

}  // namespace velk::writer
