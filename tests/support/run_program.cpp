#include "support/run_program.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "support/test_support.h"

namespace ostrel::test {

TProgramRun RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& input, const std::string& workDir) {
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> cargv, cenv;
    for (auto& s : a)
        cargv.push_back(s.data());
    cargv.push_back(nullptr);
    for (auto& s : e)
        cenv.push_back(s.data());
    cenv.push_back(nullptr);

    TempDir io;
    const std::string in = io.File("in"), out = io.File("out"), err = io.File("err");
    WriteAll(in, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!workDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    TProgramRun run;
    const int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return run;
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.Out = ReadAll(out);
    run.Err = ReadAll(err);
    return run;
}

} // namespace ostrel::test
