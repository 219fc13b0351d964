// A job's events as the JSON lines a line's software reads: what `--json` prints and what a control
// socket's subscribers get, from the command line's station and from the station window alike.
#pragma once

#include <QJsonObject>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "driver/DriverEvents.h"

// The exit statuses a script on a production line tells apart, and a result event's "status".
namespace Exit {
constexpr int Success = 0;
constexpr int Failed = 1;         // the unit's failure, different checksums, a wait that ran out
constexpr int Usage = 2;          // bad usage, or a file that cannot be prepared
constexpr int PortClosed = 3;     // the port did not open
constexpr int NotRecorded = 4;    // loaded, but no record of it could be kept anywhere
constexpr int Interrupted = 130;  // SIGINT or SIGTERM during a job
}  // namespace Exit

// The exit status and the result word a unit's result comes to ("success", "failed", ...).
struct TCliVerdict {
    int Status;
    const char* Word;
};
TCliVerdict CliVerdict(const TJobResult& result, int stopSignal = 0);

// Whether a screen line is one of the factory screen's (`factory`) or the Software Upload screen's.
bool LineOnScreen(TLine line, bool factory);
// What the operator at a terminal is told to do for an awaited step, and on which line; nullptr
// where there is nothing to do (the station goes on by itself).
const char* OperatorStepText(TOperatorStep step, bool factory, bool enterProceeds, TLine& line);

// The job's screen lines as a stream of text tells them: each text once, when it is on the job's
// screen and shown (hidden and shown again unchanged, it is not told twice). Set and Show return
// the text to tell now, or nullptr.
class TShownLines {
public:
    explicit TShownLines(bool factory) : factory_(factory) {}
    const std::string* Set(TLine line, const std::string& text);
    const std::string* Show(TLine line, bool shown);

private:
    struct TShownLine {
        std::string Text;
        bool Told = false;  // the text as it stands has been told
        bool Visible = true;
    };
    const std::string* Due(TLine line);

    bool factory_;
    std::array<TShownLine, kLineCount> lines_;
};

class TEventJson {
public:
    explicit TEventJson(bool factory) : factory_(factory), lines_(factory) {}

    // Every event goes to `sink` as one JSON object.
    void SetSink(std::function<void(const QJsonObject&)> sink) { sink_ = std::move(sink); }
    // One port of a station: its name, and the time, ride on every event ("" for a lone unit).
    void SetUnit(const std::string& name) { unit_ = name; }
    void SetEnterProceeds(bool enter) { enterProceeds_ = enter; }
    void SetRecipeKeyId(const std::string& keyId) { recipeKeyId_ = keyId; }

    void Event(const TJobEvent& event);
    // Texts in the locale's encoding.
    void Note(const std::string& text);
    void Warning(const std::string& text);
    // The result whose fields the next result event carries, and what was found and what to do.
    void SetResult(const TJobResult& result) { result_ = result; }
    void SetAdvice(const std::string& reason, const std::string& remedy) {
        adviceReason_ = reason;
        adviceRemedy_ = remedy;
    }
    // A unit's (or a port's last) result: its status, its word and why.
    void Result(int status, const std::string& word, const std::string& reason);
    // A port that ended without a unit to tell a result of, saying `why`.
    void PortEnd(int status, const std::string& reason, const char* why);

private:
    void Tell(TLine line, const std::string* text);
    void Stage(TStage stage);
    void Awaiting(TOperatorStep step);
    void History(const THistoryEvent& event);
    void Emit(QJsonObject event);

    bool factory_;
    bool enterProceeds_ = false;
    std::string unit_, recipeKeyId_, adviceReason_, adviceRemedy_;
    TShownLines lines_;
    std::optional<TJobResult> result_;
    std::function<void(const QJsonObject&)> sink_;
};
