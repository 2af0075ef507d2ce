// Decoding received files: a UUencoded mail loaded and saved through the parser, the same data
// joined from 1000 mailed parts by the decoder wizard, and a base64 MIME attachment.
//
//   decode_bench                         benchmark runs on generated data (OSTREL_BENCH_MIB, 16)
//   decode_bench --decode FILE OUTDIR    one load-and-save of a mail file, for timing beside peers
//   decode_bench --join OUTDIR PART...   one wizard join of part files, each read as a copy
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "decoder/decoder_wizard.h"
#include "mime/base64.h"
#include "mime/message.h"
#include "mime/parser.h"
#include "mime/uucode.h"
#include "platform/fake_desktop.h"
#include "support/test_support.h"
#include "util/file_io.h"
#include "util/program_state.h"

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

std::size_t SaveAll(TmsMessage& message, const std::string& folder) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < message.Attachments.Count(); ++i) {
        message.SaveAttachment(i, folder);
        bytes += message.Attachments[i].Data.size();
    }
    return bytes;
}

void BM_UUMailLoadAndSave(benchmark::State& state) {
    test::TempDir dir;
    test::WriteAll(dir.File("uu.eml"), UUMail(RandomData()));
    for (auto _ : state) {
        TmsMessage message;
        LoadMessageFromFile(message, dir.File("uu.eml"));
        if (SaveAll(message, dir.Path()) != RandomData().size())
            state.SkipWithError("wrong size");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * RandomData().size()));
}
BENCHMARK(BM_UUMailLoadAndSave)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Join1000Parts(benchmark::State& state) {
    test::ProgramFolder folder;
    const auto parts = MailedParts(RandomData(), 1000);
    for (auto _ : state) {
        FakeDesktop desktop;
        TmsMessage message;
        TfrmDecode wizard(desktop, message, std::chrono::milliseconds(0));
        for (const auto& part : parts) {
            desktop.Clipboard = part;
            wizard.btnNextClick();
        }
        if (wizard.ModalResult == 0)
            state.SkipWithError("join did not finish");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * RandomData().size()));
}
BENCHMARK(BM_Join1000Parts)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Base64MailLoadAndSave(benchmark::State& state) {
    test::TempDir dir;
    test::WriteAll(dir.File("b64.eml"), Base64Mail(RandomData()));
    for (auto _ : state) {
        TmsMessage message;
        LoadMessageFromFile(message, dir.File("b64.eml"));
        if (SaveAll(message, dir.Path()) != RandomData().size())
            state.SkipWithError("wrong size");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * RandomData().size()));
}
BENCHMARK(BM_Base64MailLoadAndSave)->Unit(benchmark::kMillisecond)->UseRealTime();

long PeakRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int OneShot(int argc, char** argv) {
    const std::string mode = argv[1];
    if (argc < 4) {
        std::cerr << "usage: decode_bench --decode FILE OUTDIR | --join OUTDIR PART...\n";
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    std::size_t bytes = 0;
    if (mode == "--decode") {
        std::string folder = argv[3];
        if (folder.back() != '/')
            folder += '/';
        TmsMessage message;
        LoadMessageFromFile(message, argv[2]);
        const auto loaded = std::chrono::steady_clock::now();
        bytes = SaveAll(message, folder);
        std::cout << "load " << std::chrono::duration<double>(loaded - start).count() << " s, save "
                  << std::chrono::duration<double>(std::chrono::steady_clock::now() - loaded).count() << " s; ";
    } else {
        std::string folder = argv[2];
        if (folder.back() != '/')
            folder += '/';
        ProgramState().LocalRoot = folder;
        FakeDesktop desktop;
        TmsMessage message;
        TfrmDecode wizard(desktop, message, std::chrono::milliseconds(0));
        wizard.TargetFolder = folder;
        for (int i = 3; i < argc; ++i) {
            // Each part is read when it is "copied", as the clipboard would hand it over.
            desktop.Clipboard = ReadFileString(argv[i]);
            wizard.btnNextClick();
        }
        desktop.Clipboard.clear();
        if (wizard.ModalResult == 0) {
            std::cerr << "the join did not finish\n";
            return 1;
        }
        for (const auto& d : desktop.Dialogs)
            if (d.Text.starts_with("Decoded"))
                bytes += ReadFileString(d.Text.substr(d.Text.find('\n', d.Text.find('\n') + 1) + 1)).size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "decoded " << bytes << " bytes in " << seconds << " s, peak RSS " << PeakRssKiB() << " KiB\n";
    return bytes > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--decode") == 0 || std::strcmp(argv[1], "--join") == 0)) {
        try {
            return OneShot(argc, argv);
        } catch (const std::exception& e) {
            std::cerr << "decode_bench: " << e.what() << "\n";
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
