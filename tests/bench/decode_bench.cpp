// Decoding received files in process: a UUencoded mail read from a file and saved, the same data
// joined from 1000 mailed parts given as copied texts, and a base64 MIME attachment
// (OSTREL_BENCH_MIB of data, 16 by default). scripts/bench/decode.sh times the command line
// beside other programs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "decoder/receiver.h"
#include "mime/base64.h"
#include "mime/uucode.h"
#include "support/test_support.h"
#include "util/file_io.h"

using namespace ostrel;

namespace {

std::size_t BenchBytes() {
    const char* mib = std::getenv("OSTREL_BENCH_MIB");
    return (mib ? std::strtoul(mib, nullptr, 10) : 16u) << 20;
}

const std::string& RandomData() {
    static const std::string data = [] {
        std::mt19937_64 random(7);
        std::string s(BenchBytes(), '\0');
        for (auto& c : s)
            c = static_cast<char>(random());
        return s;
    }();
    return data;
}

std::string UUMail(const std::string& data) {
    std::string mail = "Subject: file\r\n\r\nbegin 644 rand.bin\r\n";
    UUEncodeLines(data, mail);
    mail += "`\r\nend\r\n";
    return mail;
}

std::string Base64Mail(const std::string& data) {
    std::string mail = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                       "Content-Type: text/plain\r\n\r\nfile\r\n--b\r\n"
                       "Content-Type: application/octet-stream; name=\"rand.bin\"\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\n";
    Base64EncodeLines(data, mail);
    mail += "--b--\r\n";
    return mail;
}

// The encoded lines cut into parts, each wrapped as the mail a server sends.
std::vector<std::string> MailedParts(const std::string& data, int parts) {
    std::string lines;
    UUEncodeLines(data, lines);
    const std::size_t per = (lines.size() / 63 + static_cast<std::size_t>(parts) - 1) / static_cast<std::size_t>(parts);
    std::vector<std::string> out;
    std::size_t at = 0;
    for (int i = 1; i <= parts; ++i) {
        std::string part = "From: server@bymail.example\r\nSubject: rand.bin (" + std::to_string(i) + "/" +
                           std::to_string(parts) + ")\r\n\r\n";
        if (i == 1)
            part += "begin 644 rand.bin\r\n";
        const std::size_t take = i == parts ? lines.size() - at : std::min(per * 63, lines.size() - at);
        part.append(lines, at, take);
        at += take;
        if (i == parts)
            part += "`\r\nend\r\n";
        part += "\r\n-- \r\nByMail\r\n";
        out.push_back(std::move(part));
    }
    return out;
}

// Receives the input and checks that one file of the right size was saved.
void Expect(benchmark::State& state, const TReceiver& receiver) {
    if (receiver.Settled().size() != 1 || receiver.Settled()[0].State != TReceivedFile::Saved ||
        ReadFileString(receiver.Settled()[0].Path).size() != RandomData().size())
        state.SkipWithError("the file was not saved whole");
}

void BM_UUMailFromFile(benchmark::State& state) {
    test::TempDir dir;
    test::WriteAll(dir.File("uu.eml"), UUMail(RandomData()));
    for (auto _ : state) {
        test::TempDir out;
        TReceiver receiver(TReceiveOptions{out.Path(), {}, {}});
        receiver.AddFile(dir.File("uu.eml"));
        state.PauseTiming();
        Expect(state, receiver);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * RandomData().size()));
}
BENCHMARK(BM_UUMailFromFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Join1000CopiedParts(benchmark::State& state) {
    const auto parts = MailedParts(RandomData(), 1000);
    for (auto _ : state) {
        test::TempDir out;
        TReceiver receiver(TReceiveOptions{out.Path(), {}, {}});
        for (const auto& part : parts)
            receiver.AddText(part, "clipboard");
        state.PauseTiming();
        Expect(state, receiver);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * RandomData().size()));
}
BENCHMARK(BM_Join1000CopiedParts)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Base64MailFromFile(benchmark::State& state) {
    test::TempDir dir;
    test::WriteAll(dir.File("b64.eml"), Base64Mail(RandomData()));
    for (auto _ : state) {
        test::TempDir out;
        TReceiver receiver(TReceiveOptions{out.Path(), {}, {}});
        receiver.AddFile(dir.File("b64.eml"));
        state.PauseTiming();
        Expect(state, receiver);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * RandomData().size()));
}
BENCHMARK(BM_Base64MailFromFile)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
