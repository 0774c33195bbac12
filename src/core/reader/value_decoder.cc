#include "core/reader/value_decoder.h"

#include <array>
#include <atomic>
#include <cstring>
#include <new>

#define ZSTD_STATIC_LINKING_ONLY  // raw blocks, magicless frames
// The raw-block decoder is marked deprecated upstream in favour of frames;
// the vendored version (third_party/zstd) is fixed and keeps it, and a
// frame's header would cost every small value 4 to 5 bytes more.
#define ZSTD_DISABLE_DEPRECATE_WARNINGS
#include <zstd.h>

namespace velk {
namespace {

StoreError Damaged() { return StoreError::Corrupt("damaged compressed value"); }

// Whether a compressed body can give a value of length bytes, checked
// before anything is allocated for the value.  A value of up to one block
// is one block, which gives at most kMaxBlockValue bytes.  A longer one is
// a frame: it must state the claimed length if it states one, and its
// block headers, which must fill the body exactly, bound what it gives (a
// raw or repeated-byte block its size, a compressed one at most a block).
// So a length that the body cannot give is damage, not a request for that
// much memory; only a body that truly gives a huge value (a run of
// repeated-byte blocks) asks for it.
bool LengthFits(uint64_t length, Bytes body) {
  if (length <= kMaxBlockValue) return true;
  ZSTD_frameHeader fh;
  if (ZSTD_getFrameHeader_advanced(&fh, body.data(), body.size(), ZSTD_f_zstd1_magicless) != 0) return false;
  if (fh.frameType != ZSTD_frame) return false;
  if (fh.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN && fh.frameContentSize != length) return false;
  uint64_t most = 0;
  size_t at = fh.headerSize;
  for (bool last = false; !last;) {
    if (body.size() - at < kBlockHeaderSize) return false;
    const ZstdBlockHeader block(body.data() + at);
    at += kBlockHeaderSize;
    size_t content = block.size;
    switch (block.type) {
      case ZstdBlockHeader::kRaw: most += block.size; break;
      case ZstdBlockHeader::kRepeated:
        most += block.size;
        content = 1;
        break;
      case ZstdBlockHeader::kCompressed: most += kMaxBlockValue; break;
      case ZstdBlockHeader::kReserved: return false;
    }
    if (body.size() - at < content) return false;
    at += content;
    last = block.last;
  }
  if (fh.checksumFlag) {
    if (body.size() - at < 4) return false;
    at += 4;
  }
  return at == body.size() && length <= most;
}

// What each thread keeps for decompressing, in one thread-local object (a
// shared library pays a call for each thread-local lookup): its
// decompression context, made on first use and freed when the thread ends,
// set for frames without magic number (raw blocks do not read the
// setting); and the lane it tries first.
struct ThreadState {
  struct FreeDCtx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
  };
  std::unique_ptr<ZSTD_DCtx, FreeDCtx> ctx;
  size_t first_lane = 0;

  ZSTD_DCtx* Context() {
    if (ctx == nullptr) {
      ctx.reset(ZSTD_createDCtx());
      if (ctx == nullptr ||
          ZSTD_isError(ZSTD_DCtx_setParameter(ctx.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless))) {
        ctx.reset();
        throw std::bad_alloc();
      }
    }
    return ctx.get();
  }
};

ThreadState& ThisThread() {
  // Each thread starts at a lane of its own, so threads running at once
  // rarely meet on one.
  static std::atomic<size_t> threads{0};
  thread_local ThreadState state{nullptr, threads.fetch_add(1, std::memory_order_relaxed)};
  return state;
}

// Below this length a value has few matches into the dictionary, and
// borrowing a lane (and copying the value out of it) costs more than the
// faster matches save (measured on values of 40 and 110 bytes).
constexpr uint64_t kLaneMinValue = 256;

}  // namespace

// A value decompressed right after a copy of the dictionary's bytes reaches
// into the dictionary as it reaches back into itself, by zstd's fast copy;
// against a dictionary that lies elsewhere, every such match takes a slower
// path (about a fifth of a document's decompression time).  A lane is such
// a copy with room for one block's value after it, and a dictionary of its
// own made over the copy (by reference: its tables once, no second copy),
// and a thread borrows one for each value of up to a block it
// decompresses.  The lane's dictionary is all the history a value there
// has, exactly as with the dictionary where it lies, so both accept the
// same bodies and give the same bytes; a match reaching past the
// dictionary's start is damage either way.  Lanes are made as threads
// first need them, up to kCount; a thread that finds every lane busy, or no
// memory for one, decompresses against the dictionary where it lies.
class ValueDecoder::Lanes {
 public:
  struct Lane {
    std::atomic<bool> busy{false};
    std::unique_ptr<std::byte[]> bytes;  // the dictionary, then room for the value
    std::unique_ptr<ZSTD_DDict_s, FreeDDict> dict;  // over the copy
  };

  // A borrowed lane, or none (always none without lanes).
  class Borrowed {
   public:
    Borrowed(Lanes* lanes, size_t first) : lane_(lanes != nullptr ? lanes->Take(first) : nullptr) {}
    ~Borrowed() {
      if (lane_ != nullptr) lane_->busy.store(false, std::memory_order_release);
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    Lane* get() const { return lane_; }

   private:
    Lane* lane_;
  };

  // Room for a value after a lane's dictionary: one block's, and the
  // slack the decoder writes past it.
  static constexpr size_t kRoom = kMaxBlockValue + kOutSlack;

  explicit Lanes(Bytes dict) : dict_(dict) {}
  ~Lanes() {
    for (std::atomic<Lane*>& slot : slots_) delete slot.load(std::memory_order_relaxed);
  }
  Lanes(const Lanes&) = delete;
  Lanes& operator=(const Lanes&) = delete;

  size_t dict_size() const { return dict_.size(); }

 private:
  // Enough for the threads of a batch lookup on most machines; memory is a
  // dictionary and one value per lane.
  static constexpr size_t kCount = 4;

  Lane* Take(size_t first) {
    for (size_t i = 0; i < kCount; ++i) {
      std::atomic<Lane*>& slot = slots_[(first + i) % kCount];
      Lane* lane = slot.load(std::memory_order_acquire);
      if (lane == nullptr) {
        lane = Make();
        if (lane == nullptr) return nullptr;
        Lane* made_elsewhere = nullptr;
        if (!slot.compare_exchange_strong(made_elsewhere, lane, std::memory_order_acq_rel)) {
          delete lane;
          lane = made_elsewhere;
        }
      }
      if (lane->busy.exchange(true, std::memory_order_acquire)) continue;
      return lane;
    }
    return nullptr;
  }

  Lane* Make() const {
    std::unique_ptr<Lane> lane(new (std::nothrow) Lane);
    if (lane == nullptr) return nullptr;
    lane->bytes.reset(new (std::nothrow) std::byte[dict_.size() + kRoom]);
    if (lane->bytes == nullptr) return nullptr;
    std::memcpy(lane->bytes.get(), dict_.data(), dict_.size());
    lane->dict.reset(ZSTD_createDDict_advanced(lane->bytes.get(), dict_.size(), ZSTD_dlm_byRef, ZSTD_dct_fullDict,
                                               ZSTD_defaultCMem));
    if (lane->dict == nullptr) return nullptr;
    return lane.release();
  }

  Bytes dict_;  // lies in the decoder's section, which outlives the lanes
  std::array<std::atomic<Lane*>, kCount> slots_{};
};

void ValueDecoder::FreeDDict::operator()(ZSTD_DDict_s* d) const { ZSTD_freeDDict(d); }
void ValueDecoder::FreeLanes::operator()(Lanes* l) const { delete l; }

ValueDecoder::ValueDecoder() = default;
ValueDecoder::~ValueDecoder() = default;
ValueDecoder::ValueDecoder(ValueDecoder&&) noexcept = default;
ValueDecoder& ValueDecoder::operator=(ValueDecoder&&) noexcept = default;

Result<ValueDecoder> ValueDecoder::Open(std::vector<std::byte> section) {
  ValueDecoder out;
  if (!DecodeCompressionHead(section, &out.info_)) return StoreError::Corrupt("unknown compression section");
  out.compressed_ = true;
  out.section_ = std::move(section);
  // Moving the decoder moves the vector's buffer, not the bytes: the
  // dictionary stays where the decoder refers to it.
  const Bytes dict = Bytes(out.section_).subspan(kCompressionHeadSize);
  if (!dict.empty()) {
    ZSTD_DDict* d = ZSTD_createDDict_advanced(dict.data(), dict.size(), ZSTD_dlm_byRef, ZSTD_dct_fullDict,
                                              ZSTD_defaultCMem);
    if (d == nullptr) return StoreError::Corrupt("damaged compression dictionary");
    out.ddict_.reset(d);
    out.lanes_.reset(new Lanes(dict));
  }
  return out;
}

Result<uint64_t> ValueDecoder::ValueLength(Bytes stored) const {
  if (!compressed_) return stored.size();
  uint64_t length;
  Bytes body;
  switch (ParseStored(stored, &length, &body)) {
    case StoredForm::kPlain: return stored.size();
    case StoredForm::kCompressed: break;
    case StoredForm::kDamaged: return Damaged();
  }
  if (body.size() != length && !LengthFits(length, body)) return Damaged();
  return length;
}

Result<void> ValueDecoder::DecodeInto(Bytes stored, std::byte* dst) const {
  uint64_t length;
  Bytes body;
  const StoredForm form = compressed_ ? ParseStored(stored, &length, &body) : StoredForm::kPlain;
  if (form == StoredForm::kDamaged) return Damaged();
  if (form == StoredForm::kPlain) {
    length = stored.size();
    body = stored;
  }
  if (body.size() == length) {  // stored as it is
    if (length != 0) std::memcpy(dst, body.data(), body.size());
    return {};
  }
  if (!LengthFits(length, body)) return Damaged();
  return Decompress(length, body, dst, length);
}

Result<Bytes> ValueDecoder::Decode(Bytes stored, DecodeBuffer* scratch) const {
  if (!compressed_) return stored;
  uint64_t length;
  Bytes body;
  switch (ParseStored(stored, &length, &body)) {
    case StoredForm::kPlain: return stored;
    case StoredForm::kCompressed: break;
    case StoredForm::kDamaged: return Damaged();
  }
  if (body.size() == length) return body;  // stored as it is, inside a wrapper
  if (!LengthFits(length, body)) return Damaged();
  // Grown, never shrunk: a vector zero-fills what it grows by, which a
  // buffer reused for values of every size would pay again and again.
  if (scratch->size() < length + kOutSlack) scratch->resize(static_cast<size_t>(length) + kOutSlack);
  VELK_TRY(Decompress(length, body, scratch->data(), scratch->size()));
  return Bytes(scratch->data(), static_cast<size_t>(length));
}

Result<void> ValueDecoder::DecodeMany(std::span<Bytes> values, std::span<const uint8_t> present,
                                      DecodeBuffer* arena, size_t* bad) const {
  if (!compressed_) return {};
  // Lengths first, so the arena is sized once and no view into it moves.
  uint64_t total = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    if (!present[i]) continue;
    uint64_t length;
    Bytes body;
    const StoredForm form = ParseStored(values[i], &length, &body);
    if (form == StoredForm::kPlain) continue;
    if (form == StoredForm::kDamaged || (body.size() != length && !LengthFits(length, body))) {
      *bad = i;
      return Damaged();
    }
    if (body.size() != length) total += length;
  }
  // Each value may use the room after it, which the values after it fill
  // later, and the slack at the end.
  if (arena->size() < total + kOutSlack) arena->resize(static_cast<size_t>(total) + kOutSlack);
  std::byte* at = arena->data();
  std::byte* const end = at + arena->size();
  for (size_t i = 0; i < values.size(); ++i) {
    if (!present[i]) continue;
    uint64_t length;
    Bytes body;
    if (ParseStored(values[i], &length, &body) == StoredForm::kPlain) continue;
    if (body.size() == length) {
      values[i] = body;
      continue;
    }
    if (auto done = Decompress(length, body, at, static_cast<uint64_t>(end - at)); !done.ok()) {
      *bad = i;
      return done;
    }
    values[i] = Bytes(at, static_cast<size_t>(length));
    at += length;
  }
  return {};
}

Result<void> ValueDecoder::Decompress(uint64_t length, Bytes body, std::byte* dst, uint64_t capacity) const {
  ThreadState& thread = ThisThread();
  ZSTD_DCtx* ctx = thread.Context();
  size_t n;
  if (length <= kMaxBlockValue) {
    const Lanes::Borrowed lane(length >= kLaneMinValue ? lanes_.get() : nullptr, thread.first_lane);
    if (lane.get() != nullptr) {
      // The value goes right after the lane's dictionary, which the
      // decoder then takes as the start of the value's own window.
      if (ZSTD_isError(ZSTD_decompressBegin_usingDDict(ctx, lane.get()->dict.get()))) return Damaged();
      std::byte* const out = lane.get()->bytes.get() + lanes_->dict_size();
      n = ZSTD_decompressBlock(ctx, out, static_cast<size_t>(length) + kOutSlack, body.data(), body.size());
      if (!ZSTD_isError(n) && n == length) std::memcpy(dst, out, n);
    } else {
      const size_t begun = ddict_ ? ZSTD_decompressBegin_usingDDict(ctx, ddict_.get()) : ZSTD_decompressBegin(ctx);
      if (ZSTD_isError(begun)) return Damaged();
      n = ZSTD_decompressBlock(ctx, dst, static_cast<size_t>(capacity), body.data(), body.size());
    }
  } else {
    n = ZSTD_decompress_usingDDict(ctx, dst, static_cast<size_t>(length), body.data(), body.size(), ddict_.get());
  }
  if (ZSTD_isError(n) || n != length) return Damaged();
  return {};
}

}  // namespace velk
