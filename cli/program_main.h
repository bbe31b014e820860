#pragma once
// The program behind main(): the arguments (without the program name) as
// UTF-8, whatever form the system handed them over in.

#include <string>
#include <vector>

namespace tovaly {

int ProgramMain(const std::vector<std::string> &args);

} // namespace tovaly
