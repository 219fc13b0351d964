// What the operator is told about the length of an upload, and the block dump of the capture file.
#pragma once

#include <array>
#include <chrono>
#include <string>
#include <utility>

// " less than 1 minute", " about 1 minute" or " about M minutes" (M with at most two significant
// digits, the locale's decimal separator).
std::string EstimateText(int blockCount, int baudrate);
// "Sending block n of m...": the window's activity line and the factory history during a transfer.
std::string BlockProgressText(int sent, int total);
// "mm:ss minutes" or "s seconds" (hours and fractions dropped); "unavailable" for no time at all.
std::string ElapsedText(std::chrono::milliseconds elapsed);
// The local time of day as a fraction of a day.
double TimeOfDayNow();
// The three capture lines of a 135-byte block: {tag, text} for "[info  ]", "[B0-128]", "[B128+ ]".
std::array<std::pair<std::string, std::string>, 3> DumpBlockLines(const std::string& block);
