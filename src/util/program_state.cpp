#include "util/program_state.h"

namespace ostrel {

TProgramState& ProgramState() {
    static TProgramState state;
    return state;
}

std::string LocalPath(const std::string& fileName) { return ProgramState().LocalRoot + fileName; }

} // namespace ostrel
