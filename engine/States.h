// The numbered states of both jobs. The numbers are the operator's record (the capture file shows
// each step as "[pn]" and its number), so they never change; the code uses the names.
#pragma once

#include <cstdint>

namespace State {
constexpr int32_t Idle = 0;
// opening the port (both jobs)
constexpr int32_t OpenPort = 5;
constexpr int32_t AwaitOpen = 6;
constexpr int32_t FactoryPortFailed = 9;
constexpr int32_t ReportPort = 10;
// preparing the file
constexpr int32_t UnknownExtension = 102;
constexpr int32_t EmptyBinary = 104;
constexpr int32_t HexToBinary = 112;
constexpr int32_t CheckUploadFile = 123;
constexpr int32_t BuildUploadFile = 124;
constexpr int32_t ReadyScreen = 42;
// wake-up, GO and erase
constexpr int32_t FirstWakeUp = 44;
constexpr int32_t AwaitReady = 45;
constexpr int32_t SendGo = 54;
constexpr int32_t AwaitErasing = 55;
constexpr int32_t ShowErasing = 56;
constexpr int32_t AwaitEraseEnd = 57;
constexpr int32_t EraseEnded = 58;
constexpr int32_t AwaitErrorBlock = 59;
constexpr int32_t ShowErrorBlock = 60;
// block transfer
constexpr int32_t StartTransfer = 66;
constexpr int32_t AwaitRequest = 67;
constexpr int32_t RequestArrived = 68;
constexpr int32_t Silence = 999;
// end and verification
constexpr int32_t SendUploadDone = 73;
constexpr int32_t AwaitThankYou = 74;
constexpr int32_t TransferDone = 75;
constexpr int32_t AwaitRestart = 76;
constexpr int32_t SendSwrQuery = 77;
constexpr int32_t AwaitSwr = 78;
constexpr int32_t SendFcsQuery = 79;
constexpr int32_t AwaitFcs = 80;
constexpr int32_t CompareChecksums = 81;
constexpr int32_t Complete = 82;
constexpr int32_t Halted = 83;
constexpr int32_t TimedOut = 99;
// factory job
constexpr int32_t FactoryPortOpen = 541;
constexpr int32_t SendZeroByte = 544;
constexpr int32_t AwaitIdent = 545;
constexpr int32_t SendLoader1 = 546;
constexpr int32_t AwaitLoader1 = 548;
constexpr int32_t SendLoader2 = 550;
constexpr int32_t AwaitLoader2 = 552;
constexpr int32_t AwaitRecordAck = 568;
constexpr int32_t RaiseBaud = 571;
constexpr int32_t PurgeAfterBaud = 572;
constexpr int32_t EmptyFlashCodeBinary = 573;
constexpr int32_t PurgeAfterEmpty = 574;
constexpr int32_t FlashCodeToBinary = 575;
constexpr int32_t FlashCodeToUploadFile = 576;
constexpr int32_t FactoryComplete = 599;

constexpr bool IsFactory(int32_t s) { return s == FactoryPortFailed || (s >= 541 && s <= 599); }
}  // namespace State
