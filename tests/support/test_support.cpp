#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mime/uucode.h"
#include "util/program_state.h"

namespace ostrel::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "ostrel-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ProgramFolder::ProgramFolder() {
    auto& st = ProgramState();
    st = TProgramState{};
    st.LocalRoot = dir_.Path();
    ::setenv("XDG_CONFIG_HOME", (dir_.Path() + "config").c_str(), 1);
}

std::string DataFile(const std::string& name) {
    const std::string example = std::string(OSTREL_TEST_DATA_DIR) + "/servers/" + name;
    return fs::exists(example) ? example : std::string(OSTREL_SOURCE_DIR) + "/data/" + name;
}

void ProgramFolder::CopyData(const std::string& name) const {
    fs::copy_file(DataFile(name), dir_.File(name), fs::copy_options::overwrite_existing);
}

void ProgramFolder::Write(const std::string& name, const std::string& content) const {
    fs::create_directories(fs::path(File(name)).parent_path());
    WriteAll(File(name), content);
}

std::string ProgramFolder::Read(const std::string& name) const {
    return ReadAll(File(name));
}

int RunUnprivileged(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int result = -1;
        try {
            constexpr uid_t nobody = 65534;
            if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0))
                ::_exit(-1);
            result = body();
        } catch (...) {
        }
        ::_exit(result);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    const int code = WEXITSTATUS(status);
    return code == 255 ? -1 : code;
}

TFileSizeLimit::TFileSizeLimit(std::uint64_t bytes) {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    old_ = limit.rlim_cur;
    // Otherwise the write past the limit ends the process instead of failing.
    handler_ = ::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

TFileSizeLimit::~TFileSizeLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(old_);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, handler_);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> UUParts(const std::string& name, const std::string& data, int parts) {
    std::string lines;
    UUEncodeLines(data, lines);
    std::vector<std::string> all;
    for (std::size_t at = 0; at < lines.size();) {
        const auto end = lines.find("\r\n", at);
        all.push_back(lines.substr(at, end + 2 - at));
        at = end + 2;
    }
    std::vector<std::string> out(static_cast<std::size_t>(parts));
    out[0] = "begin 644 " + name + "\r\n";
    const std::size_t per = (all.size() + static_cast<std::size_t>(parts) - 1) / static_cast<std::size_t>(parts);
    for (std::size_t i = 0; i < all.size(); ++i)
        out[std::min(i / per, out.size() - 1)] += all[i];
    out.back() += "`\r\nend\r\n";
    return out;
}

void ExpectPumpedInSlices(std::chrono::steady_clock::time_point start,
                          const std::vector<std::chrono::steady_clock::time_point>& pumps,
                          std::chrono::steady_clock::time_point end, std::chrono::milliseconds longest) {
    ASSERT_FALSE(pumps.empty());
    std::vector<std::chrono::steady_clock::duration> gaps{pumps.front() - start, end - pumps.back()};
    for (std::size_t i = 1; i < pumps.size(); ++i)
        gaps.push_back(pumps[i] - pumps[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LE(gaps[gaps.size() / 2], std::chrono::milliseconds(15));
    EXPECT_LT(gaps.back(), longest);
}

} // namespace ostrel::test
