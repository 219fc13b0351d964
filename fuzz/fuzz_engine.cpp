// Both jobs of the engine against the simulated unit in process, with the unit's faults, its
// timing and noise between its lines chosen by the input. The invariant: no success text is ever
// shown unless the unit's flash holds the image, and an upload of 2000 blocks or more is a success
// only once its checksum comparison passed.
//
// Input: byte 0 selects the job and the image size, bytes 1-8 the unit's faults and timing, then
// pairs (tick length in ms, noise length) with the noise bytes that arrive at that tick.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "tests/support/FakeUnit.h"
#include "tests/support/Firmware.h"

namespace {

// Noise is what a line picks up between the unit's lines: never the letters of its words.
char NoiseByte(uint8_t b) {
    static const char kNoise[] = "\r\n\x00\x01\x7f\xff~#%&*()[]{}<>/=:;.,!?|-_+ 0123456789";
    return kNoise[b % (sizeof kNoise - 1)];
}

SimOptions Faults(const uint8_t* f) {
    SimOptions o;
    o.eraseError = f[0] & 1;
    o.noThankYou = f[0] & 2;
    o.wrongChecksum = f[0] & 4;
    o.noSwr = f[0] & 8;
    o.noFcs = f[0] & 16;
    o.invalidStart = f[0] & 32;
    o.noise = f[0] & 64;
    o.noIdent = f[0] & 128;
    o.resendAt = f[1] % 8;
    o.failAt = f[2] % 16 == 1 ? f[2] / 16 : 0;
    o.silentAfter = f[3] % 8 == 1 ? f[3] / 32 : 0;
    o.baseIndexAt = f[4] % 6;
    o.badAckRecord = f[5] % 4 == 1 ? f[5] / 4 : 0;
    o.badAckTimes = 1 + f[6] % 5;
    o.slowMs = f[7] % 4 == 0 ? f[7] / 8 : 0;
    o.restartMs = 100;
    o.seed = f[7];
    o.seedGiven = true;
    return o;
}

const std::string& FlashCodeInUnit() {
    static const std::string flash = [] {
        EngineRig rig;
        rig.Factory();
        return rig.port.Flash();
    }();
    return flash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const bool factory = data[0] & 1;
    const int chunks = (data[0] & 2) ? 2000 : 1 + data[0] / 4 % 24;
    EngineRig rig(Faults(data + 1));
    size_t at = 9;
    auto tick = [&] {
        rig.port.Chatter.clear();
        if (at + 2 <= size) {
            const int noise = data[at + 1] % 8;
            for (int i = 0; i < noise && at + 2 + i < size; ++i) rig.port.Chatter += NoiseByte(data[at + 2 + i]);
            at += 2 + noise;
        }
        rig.Tick();
    };
    const TestFirmware fw = TestFirmware::Make(chunks, data[0], 1);
    if (factory) {
        rig.E().FactoryChosen("1");
    } else {
        if (!rig.OpenPort() || !rig.Prepare("fw.h86", fw.hex)) fuzz::Fail("the upload could not be prepared");
        rig.E().StartRun();
    }
    long ticks = 0;
    do {
        if (factory && rig.view.offered.count(TOffer::GoOn)) rig.E().GoOn();
        tick();
    } while ((rig.E().UploadState() != State::Idle || (factory && rig.view.offered.count(TOffer::GoOn))) &&
             ++ticks < 20000);
    FUZZ_CHECK(rig.E().UploadState() == State::Idle);

    const std::string headline = rig.view.Line(TLine::Headline);
    if (headline == "Software Upload complete") {
        FUZZ_CHECK(chunks < 2000);
        FUZZ_CHECK(rig.port.Flash() == fw.image);
    }
    if (headline == "Checksums match, Upload successful") FUZZ_CHECK(rig.port.Flash() == fw.image);
    if (rig.view.HistoryHas("FlashCode Upload complete")) FUZZ_CHECK(rig.port.Flash() == FlashCodeInUnit());
    return 0;
}
