// Throughput of the codecs on 64 MiB of random data (bytes of decoded data per second).
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "mime/base64.h"
#include "mime/quoted_printable.h"
#include "mime/uucode.h"

using namespace ostrel;

namespace {

constexpr std::size_t kSize = 64u << 20;

const std::string& RandomData() {
    static const std::string data = [] {
        std::mt19937_64 random(42);
        std::string s(kSize, '\0');
        for (std::size_t i = 0; i + 8 <= s.size(); i += 8) {
            const auto v = random();
            for (int k = 0; k < 8; ++k)
                s[i + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k));
        }
        return s;
    }();
    return data;
}

const std::string& Base64Text() {
    static const std::string text = [] {
        std::string s;
        Base64EncodeLines(RandomData(), s);
        return s;
    }();
    return text;
}

const std::string& UUText() {
    static const std::string text = [] {
        std::string s;
        UUEncodeLines(RandomData(), s);
        return s;
    }();
    return text;
}

const std::string& QPText() {
    static const std::string text = [] {
        std::string s;
        for (const auto& line : TQuotedPrintable::Encode(std::string_view(RandomData()).substr(0, kSize / 4))) {
            s += line;
            s += "\r\n";
        }
        return s;
    }();
    return text;
}

// Decodes in 64 KiB pieces, as a reader of a file would feed it.
template <class Decoder>
void DecodeInPieces(benchmark::State& state, const std::string& text, std::size_t decodedSize) {
    for (auto _ : state) {
        Decoder decoder;
        std::string out;
        out.reserve(decodedSize + 1024);
        for (std::size_t pos = 0; pos < text.size(); pos += 65536)
            decoder.Decode(std::string_view(text).substr(pos, 65536), out);
        decoder.Finish(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * decodedSize));
}

void BM_Base64Decode(benchmark::State& state) { DecodeInPieces<TBase64Decoder>(state, Base64Text(), kSize); }
void BM_UUDecode(benchmark::State& state) { DecodeInPieces<TUUDecoder>(state, UUText(), kSize); }
void BM_QuotedPrintableDecode(benchmark::State& state) {
    DecodeInPieces<TQuotedPrintableDecoder>(state, QPText(), kSize / 4);
}

// A whole block at once, as the parser hands over the lines of a UU mail.
void BM_UUDecodeBlock(benchmark::State& state) {
    for (auto _ : state) {
        std::string out;
        out.reserve(kSize + 1024);
        benchmark::DoNotOptimize(UUDecodeBlock(UUText(), out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_Base64Encode(benchmark::State& state) {
    for (auto _ : state) {
        std::string out;
        Base64EncodeLines(RandomData(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_UUEncode(benchmark::State& state) {
    for (auto _ : state) {
        std::string out;
        UUEncodeLines(RandomData(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_QuotedPrintableEncode(benchmark::State& state) {
    // Mail paragraphs: the encoder works a paragraph at a time, so feed text with line breaks.
    static const std::string text = [] {
        std::string s = RandomData().substr(0, kSize / 4);
        for (std::size_t i = 1000; i < s.size(); i += 1000) {
            s[i - 1] = '\r';
            s[i] = '\n';
        }
        return s;
    }();
    for (auto _ : state)
        benchmark::DoNotOptimize(TQuotedPrintable::Encode(text).size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_UUDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_UUDecodeBlock)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QuotedPrintableDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_UUEncode)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QuotedPrintableEncode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
