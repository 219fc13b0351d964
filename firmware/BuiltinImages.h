// The two Intel HEX images carried inside the program.
#pragma once

#include <string>
#include <vector>

const std::vector<std::string>& MemoBootLines();      // bootstrap image, 161 lines
const std::vector<std::string>& MemoFlshCodeLines();  // FlashCode image, 390 lines
