// Sending speed of the SMTP client against a real sink: many small request mails, one
// connection each (the program's everyday case), and one large mail (the data path).
// The server comes from OSTREL_BENCH_SMTP ("host:port"); without it a private smtp-sink is
// started. scripts/bench/smtp.sh runs this next to Python's smtplib against the same sink.

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include <benchmark/benchmark.h>

#include "mime/message.h"
#include "net/smtp.h"
#include "platform/fake_desktop.h"
#include "support/peers.h"

using namespace ostrel;

namespace {

std::string BenchServer() {
    static std::unique_ptr<ostrel::test::TSmtpSinkPeer> sink;
    if (const char* given = std::getenv("OSTREL_BENCH_SMTP"); given != nullptr && *given != '\0')
        return given;
    if (!sink)
        sink = std::make_unique<ostrel::test::TSmtpSinkPeer>();
    return sink->Server();
}

void FillRequest(TmsMessage& message) {
    message.Clear();
    message.Sender.Address = "user@example.org";
    message.Recipients.Add("getweb@example.net", "");
    message.Subject = "request";
    message.Body = {"GET http://www.example.com/pub/files/archive-2026.zip"};
}

void BM_RequestMails(benchmark::State& state) {
    FakeDesktop desktop;
    TmsMessage message;
    TmsSMTP smtp(desktop);
    smtp.Server = BenchServer();
    smtp.MailMessage = &message;
    for (auto _ : state) {
        FillRequest(message);
        smtp.Send();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestMails)
    ->Iterations(1000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_LargeMail(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
    FakeDesktop desktop;
    TmsMessage message;
    TmsSMTP smtp(desktop);
    smtp.Server = BenchServer();
    smtp.MailMessage = &message;
    // Text lines of 76 characters, as a mail of that size would carry.
    std::vector<std::string> body;
    const std::string line(76, 'x');
    for (std::size_t n = 0; n < size; n += line.size() + 2)
        body.push_back(line);
    for (auto _ : state) {
        FillRequest(message);
        message.Body = body;
        smtp.Send();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_LargeMail)
    ->Arg(20)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The server that wants STARTTLS and a log-in (OSTREL_BENCH_SECURE_SMTP, with OSTREL_BENCH_USER
// and OSTREL_BENCH_PASSWORD, its CA in SSL_CERT_FILE); empty when the run has none.
std::string SecureServer() {
    const char* given = std::getenv("OSTREL_BENCH_SECURE_SMTP");
    return given != nullptr ? given : "";
}

void SecureClient(TmsSMTP& smtp) {
    smtp.Server = SecureServer();
    smtp.Security = TSmtpSecurity::STARTTLS;
    smtp.UserName = std::getenv("OSTREL_BENCH_USER") != nullptr ? std::getenv("OSTREL_BENCH_USER") : "";
    smtp.Password = std::getenv("OSTREL_BENCH_PASSWORD") != nullptr ? std::getenv("OSTREL_BENCH_PASSWORD") : "";
}

// One connection per mail: greeting, EHLO, STARTTLS, handshake, EHLO, AUTH, the mail, QUIT.
void BM_SecureRequestMails(benchmark::State& state) {
    if (SecureServer().empty()) {
        state.SkipWithError("OSTREL_BENCH_SECURE_SMTP is not set");
        return;
    }
    FakeDesktop desktop;
    TmsMessage message;
    TmsSMTP smtp(desktop);
    SecureClient(smtp);
    smtp.MailMessage = &message;
    for (auto _ : state) {
        FillRequest(message);
        smtp.Send();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SecureRequestMails)
    ->Iterations(200)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A queue run of 100 requests over one session: one handshake, one log-in, RSET between mails.
void BM_SecureQueueRun(benchmark::State& state) {
    if (SecureServer().empty()) {
        state.SkipWithError("OSTREL_BENCH_SECURE_SMTP is not set");
        return;
    }
    FakeDesktop desktop;
    TmsMessage message;
    TmsSMTP smtp(desktop);
    SecureClient(smtp);
    smtp.MailMessage = &message;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            FillRequest(message);
            smtp.SendInSession();
        }
        smtp.EndSession();
    }
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_SecureQueueRun)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
