// Both jobs of the engine against the simulated unit in process, with the unit's faults, its
// timing and noise between its lines chosen by the input, and the firmware file whole, cut short,
// empty or a corrupt upload block file. The invariants: every job ends, in exactly one result, and
// no success (text or result) unless the unit's flash equals a non-empty image prepared from a
// complete file; an upload of 2000 blocks or more is a success only once its checksum comparison
// passed.
//
// Input: byte 0 selects the job and the image size, bytes 1-8 the unit's faults and timing, byte 9
// the file's form, then pairs (tick length in ms, noise length) with the noise bytes that arrive at
// that tick.
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
    o.muteAt = f[4] / 6 % 8 == 1 ? 1 + f[4] / 48 : 0;
    o.resendForever = f[1] / 8 % 8 == 1 ? 1 + f[1] / 64 : 0;
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

enum class TForm { Whole, CutShort, Empty, CorruptZup };

// The file the upload is given, in the form the input chose; true when it is the whole image.
bool WriteInput(EngineRig& rig, const TestFirmware& fw, TForm form, uint8_t where, std::string& name) {
    name = "fw.h86";
    switch (form) {
    case TForm::Whole: WriteWholeFile(rig.Home() + name, fw.hex); return true;
    case TForm::CutShort: {
        std::string hex = fw.hex;
        hex.resize(hex.size() * (1 + where % 15) / 16);
        WriteWholeFile(rig.Home() + name, hex);
        return false;
    }
    case TForm::Empty: WriteWholeFile(rig.Home() + name, ":00000001FF\r\n"); return false;
    case TForm::CorruptZup: break;
    }
    EngineRig maker;
    if (!maker.OpenPort() || !maker.Prepare("m.h86", fw.hex)) fuzz::Fail("the upload block file could not be made");
    std::string zup = ReadWholeFile(maker.Home() + "m.ZUP");
    zup[(where * 977u) % (zup.size() - 4)] ^= 0x01;
    name = "fw.zup";
    WriteWholeFile(rig.Home() + name, zup);
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    const bool factory = data[0] & 1;
    const int chunks = (data[0] & 2) ? 2000 : 1 + data[0] / 4 % 24;
    const TForm form = static_cast<TForm>(data[9] % 4);
    EngineRig rig(Faults(data + 1));
    size_t at = 10;
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
    bool whole = true;
    if (factory) {
        rig.E().OpenFactoryPort("1");
    } else {
        std::string name;
        whole = WriteInput(rig, fw, form, data[9] / 4, name);
        if (!rig.OpenPort()) fuzz::Fail("the port did not open");
        rig.E().Guarded([&] { rig.E().Prepare(rig.Home() + name); });
        if (rig.E().UploadState() != State::Idle) rig.RunUntilIdle(100);
        const bool prepared = rig.view.offered.count(TOffer::StartRun) > 0;
        if (whole && !prepared) fuzz::Fail("a whole file could not be prepared");
        rig.E().StartUpload();
    }
    long ticks = 0;
    do {
        if (factory && rig.view.offered.count(TOffer::GoOn)) rig.E().GoOn();
        tick();
    } while ((rig.E().UploadState() != State::Idle || (factory && rig.view.offered.count(TOffer::GoOn))) &&
             ++ticks < 20000);
    FUZZ_CHECK(rig.E().UploadState() == State::Idle);
    FUZZ_CHECK(rig.view.results.size() == 1);
    const TJobResult& result = rig.view.results.back();

    const std::string headline = rig.view.Line(TLine::Headline);
    const bool flashHoldsImage = rig.port.Flash() == fw.image;
    if (headline == "Software Upload complete") {
        FUZZ_CHECK(chunks < 2000);
        FUZZ_CHECK(whole && flashHoldsImage);
    }
    if (headline == "Checksums match, Upload successful") FUZZ_CHECK(whole && flashHoldsImage);
    if (rig.view.HistoryHas("FlashCode Upload complete")) FUZZ_CHECK(rig.port.Flash() == FlashCodeInUnit());
    if (result.Succeeded() && !factory) {
        FUZZ_CHECK(whole && flashHoldsImage && result.BlocksSent > 0);
        FUZZ_CHECK(result.Kind == (chunks >= 2000 ? TResultKind::Verified : TResultKind::Sent));
    }
    if (result.Succeeded() && factory) FUZZ_CHECK(rig.port.Flash() == FlashCodeInUnit());
    return 0;
}
