// Every limit of the dialogue with the unit, beside the wait it bounds. The engine counts them in
// 50 ms ticks (answers that arrive between ticks are taken at once, but are not tries), so a
// limit's time is its count times 50 ms.
#pragma once

namespace Protocol {
// ---- both jobs ----
constexpr int kOpenTicks = 20;         // the port's open is awaited 1 s
constexpr int kDefaultReplyTicks = 8;  // a reply wait nobody has set a limit for

// ---- the Software Upload ----
constexpr int kWakeUpTries = 250;       // "U"s, one a tick, before the boot code is given up on (12.5 s)
constexpr int kTransferReplyTicks = 1000;  // GO to each reply of the erase and the transfer (50 s)
constexpr int kRebootTicks = 90;        // the unit restarts after UPLOAD DONE before it is asked (4.5 s)
constexpr int kSwrReplyTicks = 100;     // each SWR? (5 s)
constexpr int kSwrTries = 20;           // SWR? asked again this often before the verification is given up
constexpr int kFcsReplyTicks = 200;     // the FCS? reply (10 s)
constexpr int kVerifiedFromBlocks = 2000;  // the unit's protocol verifies only uploads of this many blocks
// A unit that asks for the same block again and again, or stays silent wait after wait, is not
// going to take the upload: without these the transfer would go on for ever.
constexpr int kResendLimit = 10;        // the same block asked for again this often in a row
constexpr int kSilentWaitLimit = 3;     // transfer waits in a row that ran out (3 x 50 s)

// ---- the Factory Bootstrap Upload ----
constexpr int kIdentTries = 45;         // ticks for the C161's identification byte
constexpr int kIdentResendEvery = 5;    // the zero byte goes out again every this many ticks
constexpr int kLoader1Tries = 10;       // ticks for loader 1's acknowledgement
constexpr int kLoader2Tries = 100;      // ticks for loader 2's acknowledgement
constexpr int kRecordTries = 100;       // ticks for a bootstrap record's acknowledgement
constexpr int kBadAckLimit = 5;         // wrong acknowledgements of one record before the cable is blamed
}  // namespace Protocol
