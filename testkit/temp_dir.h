// Temporary folders for tests that write files.
#pragma once

#include <string>

namespace zindle::test {

// A fresh empty directory under the system's temporary folder.
std::string make_temp_dir();

}  // namespace zindle::test
