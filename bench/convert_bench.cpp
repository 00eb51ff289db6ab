// Conversion throughput: 1 MiB of text through the character converters and
// 1 MiB of mixed packets through the buffer converters, in each direction,
// for a Western (1252/37) and a Japanese (932/939) workstation. Tracing off.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "vqzmrc.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMiB = 1 << 20;

enum Setting { kWestern = 0, kJapanese = 1 };

void Use(Setting setting) {
  setenv("ZEL_PC_CODEPAGE", setting == kWestern ? "1252" : "932", 1);
  setenv("ZEL_HOST_CCSID", setting == kWestern ? "37" : "939", 1);
}

// About 1 MiB of PC text made of whole characters.
Bytes PcText(Setting setting) {
  const std::string western =
      "The quick brown fox jumps over the lazy dog, 0123456789 \xE9\xE8\xFC\xDF. ";
  // Latin, kanji, hiragana, the ideographic space and half-width katakana.
  const std::string japanese =
      "Order 42: \x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x83\x65\x83\x4C\x83\x58\x83\x67"
      "\x81\x40\xB1\xB2\xB3 ok. ";
  const std::string& unit = setting == kWestern ? western : japanese;
  Bytes text;
  while (text.size() + unit.size() <= kMiB) text.insert(text.end(), unit.begin(), unit.end());
  return text;
}

void AppendPcPacket(Bytes& buffer, uint16_t format, const uint8_t* data, uint32_t size) {
  uint32_t ll = 8 + size;
  uint8_t header[8] = {static_cast<uint8_t>(ll),
                       static_cast<uint8_t>(ll >> 8),
                       static_cast<uint8_t>(ll >> 16),
                       static_cast<uint8_t>(ll >> 24),
                       static_cast<uint8_t>(format),
                       0,
                       0x34,
                       0x12};
  buffer.insert(buffer.end(), header, header + 8);
  buffer.insert(buffer.end(), data, data + size);
}

// About 1 MiB of PC packets cycling through the four formats; character
// packets take their text from PcText. The last packet is binary, so that
// the host-bound buffer can grow for double-byte text before it.
Bytes PcPackets(Setting setting) {
  Bytes text = PcText(setting);
  Bytes numbers(4096);
  for (size_t i = 0; i < numbers.size(); ++i) numbers[i] = static_cast<uint8_t>(i * 7);
  Bytes buffer;
  size_t text_at = 0;
  for (uint32_t n = 0; buffer.size() < kMiB - 2048; ++n) {
    uint16_t format = static_cast<uint16_t>(n % 4);
    uint32_t size = 64 + (n * 97) % 960;
    if (format == 1) {
      // Whole characters only: the text repeats a unit that starts a line.
      size = static_cast<uint32_t>(std::min<size_t>(size, text.size() - text_at));
      while (size > 0 && setting == kJapanese && text_at + size < text.size() &&
             text[text_at + size] != 'O') {
        --size;
      }
      if (size == 0) {
        text_at = 0;
        continue;
      }
      AppendPcPacket(buffer, format, text.data() + text_at, size);
      text_at += size;
    } else {
      AppendPcPacket(buffer, format, numbers.data(), size);
    }
  }
  AppendPcPacket(buffer, 0, numbers.data(), 64);
  return buffer;
}

Bytes ToHostText(const Bytes& pc) {
  Bytes host(pc.size() * 2);
  uint32_t length = static_cast<uint32_t>(host.size());
  if (cbAscToEbcCharArray(host.data(), pc.data(), &length, static_cast<uint32_t>(pc.size())) != 0) {
    return {};
  }
  host.resize(length);
  return host;
}

// Converts packet by packet into ample room: the host form of a buffer
// whatever the growth rule of the buffer converter allows.
Bytes ToHostPacketByPacket(const Bytes& pc, Bytes& host) {
  uint32_t in_at = 0;
  uint32_t out_at = 0;
  while (in_at < pc.size()) {
    uint32_t ll = 0;
    std::memcpy(&ll, pc.data() + in_at, sizeof ll);
    uint32_t length = static_cast<uint32_t>(host.size() - out_at);
    if (csConvertPacket(CS_TO_HOST, host.data() + out_at, &length, pc.data() + in_at,
                        static_cast<uint32_t>(pc.size() - in_at)) != VQZM_RC_OK) {
      return {};
    }
    in_at += ll;
    out_at += length;
  }
  return Bytes(host.begin(), host.begin() + out_at);
}

void BM_TextToHost(benchmark::State& state) {
  Setting setting = static_cast<Setting>(state.range(0));
  Use(setting);
  Bytes pc = PcText(setting);
  Bytes host(pc.size() * 2);
  for (auto _ : state) {
    uint32_t length = static_cast<uint32_t>(host.size());
    uint16_t rc =
        cbAscToEbcCharArray(host.data(), pc.data(), &length, static_cast<uint32_t>(pc.size()));
    if (rc != VQZM_RC_OK) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(host.data());
  }
  state.SetBytesProcessed(state.iterations() * pc.size());
}
BENCHMARK(BM_TextToHost)->ArgName("japanese")->Arg(kWestern)->Arg(kJapanese);

void BM_TextToPc(benchmark::State& state) {
  Setting setting = static_cast<Setting>(state.range(0));
  Use(setting);
  Bytes host = ToHostText(PcText(setting));
  if (host.empty()) state.SkipWithError("no host text");
  Bytes pc(host.size());
  for (auto _ : state) {
    uint32_t length = static_cast<uint32_t>(pc.size());
    uint16_t rc =
        cbEbcToAscCharArray(pc.data(), host.data(), &length, static_cast<uint32_t>(host.size()));
    if (rc != VQZM_RC_OK) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(pc.data());
  }
  state.SetBytesProcessed(state.iterations() * host.size());
}
BENCHMARK(BM_TextToPc)->ArgName("japanese")->Arg(kWestern)->Arg(kJapanese);

void BM_PacketsToHost(benchmark::State& state) {
  Use(kWestern);
  Bytes pc = PcPackets(kWestern);
  for (auto _ : state) {
    void* output = nullptr;
    uint32_t length = 0;
    uint16_t rc =
        csConvertToRZ700DataBuf(&output, &length, pc.data(), static_cast<uint32_t>(pc.size()));
    if (rc != VQZM_RC_OK) state.SkipWithError("conversion failed");
    free(output);
  }
  state.SetBytesProcessed(state.iterations() * pc.size());
}
BENCHMARK(BM_PacketsToHost);

// Double-byte text packets grow on their way to the host, and the buffer
// converter, which grows its output only by a packet's input length, gives
// up on them; this measures the same packets one by one with ample room.
void BM_PacketsToHostOneByOne(benchmark::State& state) {
  Setting setting = static_cast<Setting>(state.range(0));
  Use(setting);
  Bytes pc = PcPackets(setting);
  Bytes host(pc.size() * 2);
  for (auto _ : state) {
    if (ToHostPacketByPacket(pc, host).empty()) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(host.data());
  }
  state.SetBytesProcessed(state.iterations() * pc.size());
}
BENCHMARK(BM_PacketsToHostOneByOne)->ArgName("japanese")->Arg(kWestern)->Arg(kJapanese);

void BM_PacketsToPc(benchmark::State& state) {
  Setting setting = static_cast<Setting>(state.range(0));
  Use(setting);
  Bytes pc_packets = PcPackets(setting);
  Bytes room(pc_packets.size() * 2);
  Bytes host = ToHostPacketByPacket(pc_packets, room);
  if (host.empty()) state.SkipWithError("no host packets");
  Bytes pc(host.size());
  for (auto _ : state) {
    uint32_t length = static_cast<uint32_t>(pc.size());
    uint16_t rc =
        csConvertToPWSDataBuf(pc.data(), &length, host.data(), static_cast<uint32_t>(host.size()));
    if (rc != VQZM_RC_OK) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(pc.data());
  }
  state.SetBytesProcessed(state.iterations() * host.size());
}
BENCHMARK(BM_PacketsToPc)->ArgName("japanese")->Arg(kWestern)->Arg(kJapanese);

}  // namespace

BENCHMARK_MAIN();
