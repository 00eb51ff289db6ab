#include "services/language/converters.h"

#include <iconv.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "services/language.h"

namespace zel::language {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char32_t), "iconv's WCHAR_T must be UCS-4");

// The substitution control: every supported code page has it, as 0x1A on
// the PC and 0x3F in EBCDIC, and it survives a round trip.
constexpr char32_t kSub = 0x1A;
constexpr uint8_t kShiftOut = 0x0E;
constexpr uint8_t kShiftIn = 0x0F;
constexpr size_t kIconvFailed = static_cast<size_t>(-1);
constexpr size_t kChunkChars = 1024;

// An iconv descriptor, closed with its owner.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }
  void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

// ---- Two single-byte code pages: round-trip tables ----

using ByteMap = std::array<uint8_t, 256>;
using DecodedBytes = std::array<std::optional<char32_t>, 256>;

// The character each byte of a single-byte code page stands for, if any.
std::optional<DecodedBytes> DecodeEveryByte(const CodePage& page) {
  Iconv cd("WCHAR_T", page.iconv_name);
  if (!cd.ok()) return std::nullopt;
  DecodedBytes chars;
  for (int byte = 0; byte < 256; ++byte) {
    cd.Reset();
    char in = static_cast<char>(byte);
    char* in_ptr = &in;
    size_t in_left = 1;
    char32_t out[2];
    char* out_ptr = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    if (iconv(cd.get(), &in_ptr, &in_left, &out_ptr, &out_left) == kIconvFailed) continue;
    iconv(cd.get(), nullptr, nullptr, &out_ptr, &out_left);
    if (out_left == sizeof out - sizeof(char32_t)) chars[byte] = out[0];
  }
  return chars;
}

// The map first -> second. Characters both code pages have map to each
// other. The remaining bytes of `first`, in byte order, pair with the
// remaining bytes of `second` in the order of the characters they stand
// for: a PC code page's extra characters at 0x80..0x9F thus land on the
// host's positions of the controls U+0080..U+009F, as host tables do.
ByteMap PairBytes(const DecodedBytes& first, const DecodedBytes& second) {
  std::map<char32_t, int> second_byte_of;
  for (int byte = 255; byte >= 0; --byte) {
    if (second[byte]) second_byte_of[*second[byte]] = byte;
  }
  ByteMap map{};
  std::array<bool, 256> mapped{};
  std::array<bool, 256> taken{};
  for (int byte = 0; byte < 256; ++byte) {
    if (!first[byte]) continue;
    auto it = second_byte_of.find(*first[byte]);
    if (it == second_byte_of.end() || taken[it->second]) continue;
    map[byte] = static_cast<uint8_t>(it->second);
    mapped[byte] = taken[it->second] = true;
  }
  std::vector<int> free_first;
  std::vector<int> free_second;
  for (int byte = 0; byte < 256; ++byte) {
    if (!mapped[byte]) free_first.push_back(byte);
    if (!taken[byte]) free_second.push_back(byte);
  }
  auto order = [&second](int byte) -> uint64_t {
    return second[byte] ? *second[byte] : 0x110000u + byte;
  };
  std::stable_sort(free_second.begin(), free_second.end(),
                   [&order](int a, int b) { return order(a) < order(b); });
  for (size_t i = 0; i < free_first.size(); ++i) {
    map[free_first[i]] = static_cast<uint8_t>(free_second[i]);
  }
  return map;
}

// Tables of every pair converted so far; built once, never freed, read
// without a lock.
class TableCache {
 public:
  // The table from -> to, or null when iconv lacks one of the code pages.
  const ByteMap* Get(const CodePage& from, const CodePage& to) {
    std::atomic<const ByteMap*>& slot = Slot(from, to);
    if (const ByteMap* map = slot.load(std::memory_order_acquire)) return map;
    std::lock_guard lock(mutex_);
    if (const ByteMap* map = slot.load(std::memory_order_acquire)) return map;
    Build(from, to);
    return slot.load(std::memory_order_acquire);
  }

  // Fork: see LockCachesForFork.
  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }

 private:
  std::atomic<const ByteMap*>& Slot(const CodePage& from, const CodePage& to) {
    return maps_[from.index * kMaxCodePages + to.index];
  }

  // Builds both directions from one pairing, so that each is the other's
  // inverse; the pairing is always made from the PC side. Caller holds mutex_.
  void Build(const CodePage& from, const CodePage& to) {
    bool from_first = from.ebcdic != to.ebcdic ? !from.ebcdic : from.index < to.index;
    const CodePage& first = from_first ? from : to;
    const CodePage& second = from_first ? to : from;
    std::optional<DecodedBytes> first_chars = DecodeEveryByte(first);
    std::optional<DecodedBytes> second_chars = DecodeEveryByte(second);
    if (!first_chars || !second_chars) return;
    auto forward = std::make_unique<ByteMap>(PairBytes(*first_chars, *second_chars));
    if (&first != &second) {
      auto backward = std::make_unique<ByteMap>();
      for (int byte = 0; byte < 256; ++byte) (*backward)[(*forward)[byte]] = byte;
      Slot(second, first).store(backward.release(), std::memory_order_release);
    }
    Slot(first, second).store(forward.release(), std::memory_order_release);
  }

  std::mutex mutex_;
  std::array<std::atomic<const ByteMap*>, kMaxCodePages * kMaxCodePages> maps_{};
};

TableCache& Tables() {
  static TableCache* cache = new TableCache;  // outlives every static destructor
  return *cache;
}

Conversion ConvertByTable(const ByteMap& map, std::span<const uint8_t> source,
                          std::span<uint8_t> target) {
  size_t n = std::min(source.size(), target.size());
  for (size_t i = 0; i < n; ++i) target[i] = map[source[i]];
  if (n < source.size()) {
    return {QLXNL_TARGET_TOO_SMALL, static_cast<uint32_t>(n), static_cast<uint32_t>(n)};
  }
  return {QLXNL_OK, static_cast<uint32_t>(n), 0};
}

// ---- Conversions with a mixed code page: iconv through UCS-4 ----

// Decodes a source piece by piece. A stretch of bytes that is no text (an
// invalid sequence, or one cut off at the end) becomes one SUB character.
class Decoder {
 public:
  Decoder(iconv_t cd, std::span<const uint8_t> source, bool shifted)
      : cd_(cd), source_(source), left_(source.size()), shifted_(shifted) {}

  bool done() const { return left_ == 0; }
  size_t offset() const { return source_.size() - left_; }

  // Decodes into `chars` (not empty) and returns how many it wrote. When the
  // last of them is a SUB for bytes that were no text, *invalid_at gets the
  // offset of those bytes.
  size_t Next(std::span<char32_t> chars, std::optional<size_t>* invalid_at) {
    char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(source_.data())) + offset();
    char* out = reinterpret_cast<char*>(chars.data());
    size_t out_left = chars.size_bytes();
    size_t result = iconv(cd_, &in, &left_, &out, &out_left);
    size_t count = (chars.size_bytes() - out_left) / sizeof(char32_t);
    *invalid_at = std::nullopt;
    if (result != kIconvFailed || left_ == 0 || count == chars.size()) return count;
    size_t at = offset();
    left_ -= std::min(left_, SkipWidth(at));
    chars[count] = kSub;
    *invalid_at = at;
    return count + 1;
  }

 private:
  // In a double-byte run of mixed EBCDIC a bad character is two bytes wide;
  // the run is known from the last shift byte before `at`.
  size_t SkipWidth(size_t at) {
    if (!shifted_) return 1;
    for (; scanned_ < at; ++scanned_) {
      if (source_[scanned_] == kShiftOut) double_byte_ = true;
      if (source_[scanned_] == kShiftIn) double_byte_ = false;
    }
    return double_byte_ ? 2 : 1;
  }

  iconv_t cd_;
  std::span<const uint8_t> source_;
  size_t left_;
  bool shifted_;
  size_t scanned_ = 0;        // shift bytes before this offset are accounted for
  bool double_byte_ = false;  // the state at `scanned_`
};

// One conversion's output and the earliest event worth reporting.
struct Job {
  explicit Job(std::span<uint8_t> target)
      : out(reinterpret_cast<char*>(target.data())), out_left(target.size()) {}

  char* out;
  size_t out_left;
  uint64_t chars_done = 0;                    // characters handed to the encoder so far
  std::optional<uint64_t> first_sub_char;     // earliest substituted character
  std::optional<size_t> first_sub_offset;     // its source offset, when known
  std::optional<uint64_t> too_small_at_char;  // first character that did not fit

  void NoteSubstitution(uint64_t char_index, std::optional<size_t> offset) {
    if (first_sub_char && *first_sub_char <= char_index) return;
    first_sub_char = char_index;
    first_sub_offset = offset;
  }
};

// Writes characters in a target code page; one conversion at a time.
class Encoder {
 public:
  virtual ~Encoder() = default;
  virtual void Reset() = 0;
  // Encodes `chars` at the job's output; false when the target is full
  // (job.too_small_at_char then says where).
  virtual bool Encode(std::span<const char32_t> chars, Job& job) = 0;
  // Ends the text, with shift-in if needed; false when that does not fit.
  virtual bool Finish(Job& job) = 0;
};

class IconvEncoder : public Encoder {
 public:
  explicit IconvEncoder(const CodePage& to) : cd_(to.iconv_name, "WCHAR_T") {}
  bool ok() const { return cd_.ok(); }

  void Reset() override { cd_.Reset(); }

  bool Encode(std::span<const char32_t> chars, Job& job) override {
    char* in = reinterpret_cast<char*>(const_cast<char32_t*>(chars.data()));
    size_t in_left = chars.size_bytes();
    while (in_left > 0) {
      size_t result = iconv(cd_.get(), &in, &in_left, &job.out, &job.out_left);
      uint64_t at = job.chars_done + (chars.size_bytes() - in_left) / sizeof(char32_t);
      if (result != kIconvFailed) break;
      if (errno == E2BIG || !EncodeSub(at, job)) {
        job.too_small_at_char = at;
        return false;
      }
      in += sizeof(char32_t);
      in_left -= sizeof(char32_t);
    }
    job.chars_done += chars.size();
    return true;
  }

  bool Finish(Job& job) override {
    return iconv(cd_.get(), nullptr, nullptr, &job.out, &job.out_left) != kIconvFailed;
  }

 private:
  // Writes SUB for the character `at` that the target lacks; false when it
  // does not fit.
  bool EncodeSub(uint64_t at, Job& job) {
    job.NoteSubstitution(at, std::nullopt);
    char32_t sub = kSub;
    char* in = reinterpret_cast<char*>(&sub);
    size_t in_left = sizeof sub;
    return iconv(cd_.get(), &in, &in_left, &job.out, &job.out_left) != kIconvFailed ||
           errno != E2BIG;
  }

  Iconv cd_;
};

// The host code of every character of a mixed EBCDIC code page, found by
// decoding each single byte and each double-byte pair once: iconv's own
// encoders for these code pages search their tables and run at a tenth of
// the speed of its decoders.
class ShiftedEncoding {
 public:
  static constexpr uint16_t kSingleByte = 0x100;  // marks a single-byte code; pairs are >= 0x4040

  // Null when iconv lacks the code page.
  static std::unique_ptr<ShiftedEncoding> Build(const CodePage& page) {
    std::optional<DecodedBytes> singles = DecodeEveryByte(page);
    Iconv cd("WCHAR_T", page.iconv_name);
    if (!singles || !cd.ok()) return nullptr;
    auto encoding = std::make_unique<ShiftedEncoding>();
    // Single-byte codes first: a character that has both goes single-byte.
    for (int byte = 0; byte < 256; ++byte) {
      if ((*singles)[byte]) encoding->Add(*(*singles)[byte], kSingleByte | byte);
    }
    // Every pair in one double-byte run; a pair that is no character
    // decodes as one SUB.
    std::vector<uint8_t> run = {kShiftOut};
    for (int lead = kFirstDoubleByte; lead <= kLastDoubleByte; ++lead) {
      for (int trail = kFirstDoubleByte; trail <= kLastDoubleByte; ++trail) {
        run.push_back(static_cast<uint8_t>(lead));
        run.push_back(static_cast<uint8_t>(trail));
      }
    }
    run.push_back(kShiftIn);
    std::vector<char32_t> chars((run.size() - 2) / 2);
    Decoder decoder(cd.get(), run, true);
    size_t count = 0;
    while (!decoder.done() && count < chars.size()) {
      std::optional<size_t> ignored;
      count += decoder.Next(std::span(chars).subspan(count), &ignored);
    }
    if (count != chars.size()) return nullptr;
    for (size_t i = 0; i < chars.size(); ++i) {
      if (chars[i] != kSub)
        encoding->Add(chars[i], static_cast<uint16_t>(run[1 + 2 * i] << 8 | run[2 + 2 * i]));
    }
    return encoding;
  }

  // The code of `ch`, or 0 when the code page lacks it.
  uint16_t Find(char32_t ch) const {
    if (ch < basic_.size()) return basic_[ch];
    auto it = others_.find(ch);
    return it == others_.end() ? 0 : it->second;
  }

 private:
  static constexpr int kFirstDoubleByte = 0x40;
  static constexpr int kLastDoubleByte = 0xFE;

  void Add(char32_t ch, uint16_t code) {
    if (Find(ch) != 0) return;
    if (ch < basic_.size()) {
      basic_[ch] = code;
    } else {
      others_[ch] = code;
    }
  }

  std::vector<uint16_t> basic_ = std::vector<uint16_t>(0x10000);  // the basic plane
  std::unordered_map<char32_t, uint16_t> others_;
};

// Encodings of every mixed EBCDIC code page used so far; built once, never
// freed, read without a lock.
class ShiftedEncodingCache {
 public:
  const ShiftedEncoding* Get(const CodePage& page) {
    std::atomic<const ShiftedEncoding*>& slot = encodings_[page.index];
    if (const ShiftedEncoding* encoding = slot.load(std::memory_order_acquire)) return encoding;
    std::lock_guard lock(mutex_);
    if (const ShiftedEncoding* encoding = slot.load(std::memory_order_acquire)) return encoding;
    slot.store(ShiftedEncoding::Build(page).release(), std::memory_order_release);
    return slot.load(std::memory_order_acquire);
  }

  // Fork: see LockCachesForFork.
  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  std::array<std::atomic<const ShiftedEncoding*>, kMaxCodePages> encodings_{};
};

ShiftedEncodingCache& ShiftedEncodings() {
  static ShiftedEncodingCache* cache = new ShiftedEncodingCache;  // outlives static destructors
  return *cache;
}

// Mixed EBCDIC: shift-out before a double-byte run, shift-in after it.
// Shift controls in the text have no code, so they never pass as shifts.
class ShiftedEncoder : public Encoder {
 public:
  explicit ShiftedEncoder(const CodePage& to) : encoding_(ShiftedEncodings().Get(to)) {}
  bool ok() const { return encoding_ != nullptr; }

  void Reset() override { double_byte_ = false; }

  bool Encode(std::span<const char32_t> chars, Job& job) override {
    for (size_t i = 0; i < chars.size(); ++i) {
      uint16_t code = encoding_->Find(chars[i]);
      if (code == 0) {
        job.NoteSubstitution(job.chars_done + i, std::nullopt);
        code = encoding_->Find(kSub);
      }
      if (code != 0 && !Put(code, job)) {
        job.too_small_at_char = job.chars_done + i;
        return false;
      }
    }
    job.chars_done += chars.size();
    return true;
  }

  bool Finish(Job& job) override { return !double_byte_ || Shift(kShiftIn, job); }

 private:
  bool Put(uint16_t code, Job& job) {
    bool single = code < 0x4040;
    size_t need = (single ? 1 : 2) + (single == double_byte_ ? 1 : 0);
    if (job.out_left < need) return false;
    if (single == double_byte_) Shift(single ? kShiftIn : kShiftOut, job);
    if (!single) Write(static_cast<uint8_t>(code >> 8), job);
    Write(static_cast<uint8_t>(code), job);
    return true;
  }

  bool Shift(uint8_t shift, Job& job) {
    if (job.out_left == 0) return false;
    Write(shift, job);
    double_byte_ = shift == kShiftOut;
    return true;
  }

  static void Write(uint8_t byte, Job& job) {
    *job.out++ = static_cast<char>(byte);
    --job.out_left;
  }

  const ShiftedEncoding* encoding_;
  bool double_byte_ = false;
};

std::unique_ptr<Encoder> MakeEncoder(const CodePage& to) {
  if (to.encoding == Encoding::kMixedEbcdic) {
    auto encoder = std::make_unique<ShiftedEncoder>(to);
    return encoder->ok() ? std::move(encoder) : nullptr;
  }
  auto encoder = std::make_unique<IconvEncoder>(to);
  return encoder->ok() ? std::move(encoder) : nullptr;
}

// Converts with one code page pair; used by one thread at a time.
class MixedConverter {
 public:
  MixedConverter(const CodePage& from, const CodePage& to)
      : from_(from), to_(to), decode_("WCHAR_T", from.iconv_name), encoder_(MakeEncoder(to)) {}

  bool ok() const { return decode_.ok() && encoder_ != nullptr; }
  const CodePage& from() const { return from_; }
  const CodePage& to() const { return to_; }

  Conversion Run(std::span<const uint8_t> source, std::span<uint8_t> target) {
    decode_.Reset();
    encoder_->Reset();
    Decoder decoder(decode_.get(), source, Shifted(from_));
    Job job(target);
    std::array<char32_t, kChunkChars> chunk;
    while (!decoder.done()) {
      std::optional<size_t> invalid_at;
      size_t count = decoder.Next(chunk, &invalid_at);
      if (invalid_at) job.NoteSubstitution(job.chars_done + count - 1, invalid_at);
      if (!encoder_->Encode(std::span(chunk).first(count), job)) break;
    }
    if (!job.too_small_at_char && !encoder_->Finish(job)) job.too_small_at_char = job.chars_done;
    uint32_t length = static_cast<uint32_t>(target.size() - job.out_left);
    if (job.too_small_at_char) {
      return {QLXNL_TARGET_TOO_SMALL, length,
              static_cast<uint32_t>(SourceOffsetOf(*job.too_small_at_char, source))};
    }
    if (job.first_sub_char) {
      size_t at = job.first_sub_offset ? *job.first_sub_offset
                                       : SourceOffsetOf(*job.first_sub_char, source);
      return {QLXNL_SUBSTITUTED, length, static_cast<uint32_t>(at)};
    }
    return {QLXNL_OK, length, 0};
  }

 private:
  static bool Shifted(const CodePage& page) { return page.encoding == Encoding::kMixedEbcdic; }

  // The source offset where character `char_index` starts: decodes the
  // source again. Only failures and substitutions pay for it.
  size_t SourceOffsetOf(uint64_t char_index, std::span<const uint8_t> source) const {
    Iconv cd("WCHAR_T", from_.iconv_name);
    if (!cd.ok()) return 0;
    Decoder decoder(cd.get(), source, Shifted(from_));
    std::array<char32_t, kChunkChars> chunk;
    for (uint64_t produced = 0; produced < char_index && !decoder.done();) {
      size_t room = static_cast<size_t>(std::min<uint64_t>(chunk.size(), char_index - produced));
      std::optional<size_t> ignored;
      produced += decoder.Next(std::span(chunk).first(room), &ignored);
    }
    return decoder.offset();
  }

  const CodePage& from_;
  const CodePage& to_;
  Iconv decode_;
  std::unique_ptr<Encoder> encoder_;
};

// Idle converters by code page pair, so that a conversion never pays for
// opening iconv twice. A converter serves one conversion at a time.
class ConverterPool {
 public:
  std::unique_ptr<MixedConverter> Take(const CodePage& from, const CodePage& to) {
    {
      std::lock_guard lock(mutex_);
      std::vector<std::unique_ptr<MixedConverter>>& idle = Idle(from, to);
      if (!idle.empty()) {
        std::unique_ptr<MixedConverter> converter = std::move(idle.back());
        idle.pop_back();
        return converter;
      }
    }
    auto converter = std::make_unique<MixedConverter>(from, to);
    return converter->ok() ? std::move(converter) : nullptr;
  }

  void Give(std::unique_ptr<MixedConverter> converter) {
    std::lock_guard lock(mutex_);
    std::vector<std::unique_ptr<MixedConverter>>& idle = Idle(converter->from(), converter->to());
    if (idle.size() < kMaxIdle) idle.push_back(std::move(converter));
  }

  // Fork: see LockCachesForFork.
  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }

 private:
  static constexpr size_t kMaxIdle = 8;

  std::vector<std::unique_ptr<MixedConverter>>& Idle(const CodePage& from, const CodePage& to) {
    return idle_[from.index * kMaxCodePages + to.index];
  }

  std::mutex mutex_;
  std::array<std::vector<std::unique_ptr<MixedConverter>>, kMaxCodePages * kMaxCodePages>
      idle_;  // guarded by mutex_
};

ConverterPool& Pool() {
  static ConverterPool* pool = new ConverterPool;  // outlives every static destructor
  return *pool;
}

// The caches' locks are held across a fork, so that a forked child never
// finds one taken by a thread it does not have, nor the pool half-changed.
// No holder of one takes another.
void LockCachesForFork() {
  Tables().LockForFork();
  ShiftedEncodings().LockForFork();
  Pool().LockForFork();
}

void UnlockCachesAfterFork() {
  Pool().UnlockAfterFork();
  ShiftedEncodings().UnlockAfterFork();
  Tables().UnlockAfterFork();
}

[[gnu::constructor]] void WatchForks() {
  pthread_atfork(LockCachesForFork, UnlockCachesAfterFork, UnlockCachesAfterFork);
}

Conversion ConvertMixed(const CodePage& from, const CodePage& to, std::span<const uint8_t> source,
                        std::span<uint8_t> target) {
  std::unique_ptr<MixedConverter> converter = Pool().Take(from, to);
  if (!converter) return {QLXNL_UNSUPPORTED_CODE_PAGE, 0, 0};
  Conversion conversion = converter->Run(source, target);
  Pool().Give(std::move(converter));
  return conversion;
}

}  // namespace

Conversion Convert(const CodePage& from, const CodePage& to, std::span<const uint8_t> source,
                   std::span<uint8_t> target) {
  if (from.encoding != Encoding::kSingleByte || to.encoding != Encoding::kSingleByte) {
    return ConvertMixed(from, to, source, target);
  }
  const ByteMap* map = Tables().Get(from, to);
  if (map == nullptr) return {QLXNL_UNSUPPORTED_CODE_PAGE, 0, 0};
  return ConvertByTable(*map, source, target);
}

}  // namespace zel::language
