#include "driver/Recipe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <optional>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "base/Paths.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "base/Sha256.h"
#include "base/ShownText.h"
#include "base/TrustedPath.h"

namespace {

constexpr size_t kMaxRecipeSize = 1u << 20;         // a recipe is a few hundred bytes
constexpr size_t kMaxFirmwareSize = 64u << 20;      // as much as the engine itself reads
constexpr int64_t kMaxCount = 1000000;

using TRead = bool (*)(const QJsonValue& value, TRecipe& recipe, std::string& error);
struct TKey {
    const char* Name;
    TRead Read;
};

std::string Quoted(const QString& key) { return "'" + ShownText(key.toStdString()) + "'"; }

bool Whole(const QJsonValue& value, int64_t min, int64_t max, int64_t& out) {
    if (!value.isDouble()) return false;
    // In range first: a number far beyond any count has no whole value to convert to (NaN fails too).
    const double d = value.toDouble();
    if (!(d >= static_cast<double>(min) && d <= static_cast<double>(max)) || d != std::floor(d)) return false;
    out = static_cast<int64_t>(d);
    return true;
}

bool Flag(const QJsonValue& value, bool& out, const char* key, std::string& error) {
    if (!value.isBool()) {
        error = std::string("'") + key + "' must be true or false";
        return false;
    }
    out = value.toBool();
    return true;
}

bool Text(const QJsonValue& value, std::string& out, const char* key, std::string& error) {
    if (!value.isString()) {
        error = std::string("'") + key + "' must be a text";
        return false;
    }
    out = value.toString().toStdString();
    return true;
}

bool IsSha256(const std::string& text) {
    static const QRegularExpression hex("^[0-9a-f]{64}$");
    return hex.match(QString::fromStdString(text)).hasMatch();
}

// Every key the format knows, each read and checked on its own; any other key is refused by name,
// so a misspelt setting is never silently left out.
const TKey kFirmwareKeys[] = {
    {"file", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         if (!Text(v, r.Firmware, "file", e)) return false;
         if (r.Firmware.empty()) e = "'firmware' names no file";
         return !r.Firmware.empty();
     }},
    {"sha256", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         if (!Text(v, r.Sha256, "sha256", e)) return false;
         if (!IsSha256(r.Sha256)) e = "'sha256' must be 64 lower-case hexadecimal digits";
         return IsSha256(r.Sha256);
     }},
    {"size", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         if (Whole(v, 0, static_cast<int64_t>(kMaxFirmwareSize), r.Size)) return true;
         e = "'size' must be a whole number of bytes";
         return false;
     }},
    {"blocks", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         int64_t n = 0;
         if (!Whole(v, 0, kMaxCount, n)) e = "'blocks' must be a whole number, 0 or more";
         r.Blocks = static_cast<int>(n);
         return e.empty();
     }},
    {"checksum", [](const QJsonValue& v, TRecipe& r, std::string& e) { return Text(v, r.Checksum, "checksum", e); }},
};

bool ReadFirmware(const QJsonValue& value, TRecipe& recipe, std::string& error);

const TKey kKeys[] = {
    {"format", [](const QJsonValue& v, TRecipe&, std::string& e) {
         int64_t format = 0;
         if (!Whole(v, 1, kMaxCount, format)) e = "'format' must be a whole number, 1 or more";
         else if (format > TRecipe::kFormat)
             e = "format " + std::to_string(format) + " is newer than this program reads (" +
                 std::to_string(TRecipe::kFormat) + "): use a newer zupflshc";
         return e.empty();
     }},
    {"job", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         const QString job = v.toString();
         if (job == "upload") r.Job = TDriverJob::Upload;
         else if (job == "factory") r.Job = TDriverJob::Factory;
         else e = "'job' must be \"upload\" or \"factory\"";
         return e.empty();
     }},
    {"firmware", ReadFirmware},
    {"baud", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         int64_t baud = 0;
         if (!Whole(v, 0, kMaxCount, baud) || (baud != 38400 && baud != 57600)) e = "'baud' must be 38400 or 57600";
         r.Baud = static_cast<int>(baud);
         return e.empty();
     }},
    {"ports", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         for (const QJsonValue& port : v.toArray()) {
             if (!port.isString() || port.toString().isEmpty()) e = "'ports' must be a list of port names";
             r.Ports.push_back(port.toString().toStdString());
             int com = 0;
             std::string device;
             PortOfName(r.Ports.back(), com, device);
             if (device.empty() && (com < 1 || com > 9)) e = "'" + ShownText(r.Ports.back()) + "': COM ports are 1 to 9";
         }
         if (!v.isArray()) e = "'ports' must be a list of port names";
         return e.empty();
     }},
    {"loop", [](const QJsonValue& v, TRecipe& r, std::string& e) { return Flag(v, r.Loop, "loop", e); }},
    {"count", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         int64_t count = 0;
         if (!Whole(v, 0, kMaxCount, count)) e = "'count' must be a whole number, 0 or more";
         r.Count = static_cast<int>(count);
         return e.empty();
     }},
    {"record_db", [](const QJsonValue& v, TRecipe& r, std::string& e) { return Text(v, r.RecordDb, "record_db", e); }},
    {"verify", [](const QJsonValue& v, TRecipe& r, std::string& e) { return Flag(v, r.Verify, "verify", e); }},
    {"expect_version", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         return Text(v, r.ExpectVersion, "expect_version", e);
     }},
    {"require_unit_id", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         return Flag(v, r.RequireUnitId, "require_unit_id", e);
     }},
    {"pause_after_failures", [](const QJsonValue& v, TRecipe& r, std::string& e) {
         int64_t n = 0;
         if (!Whole(v, 0, 1000, n)) e = "'pause_after_failures' must be a whole number of units, 0 (never) to 1000";
         r.PauseAfterFailures = static_cast<int>(n);
         return e.empty();
     }},
};

template <size_t N>
bool ReadKeys(const QJsonObject& object, const TKey (&keys)[N], const char* where, TRecipe& recipe,
              std::string& error) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        const TKey* key = nullptr;
        for (const TKey& k : keys)
            if (it.key() == QLatin1String(k.Name)) key = &k;
        if (!key) {
            error = std::string("unknown key ") + Quoted(it.key()) + where;
            return false;
        }
        if (!key->Read(it.value(), recipe, error)) return false;
    }
    return true;
}

bool ReadFirmware(const QJsonValue& value, TRecipe& recipe, std::string& error) {
    if (!value.isObject()) {
        error = "'firmware' must be an object with its file, sha256 and size";
        return false;
    }
    const QJsonObject firmware = value.toObject();
    if (!ReadKeys(firmware, kFirmwareKeys, " in 'firmware'", recipe, error)) return false;
    for (const char* needed : {"file", "sha256", "size"})
        if (!firmware.contains(QLatin1String(needed))) {
            error = std::string("'firmware' has no '") + needed + "'";
            return false;
        }
    return true;
}

// What the whole needs beyond each key being sound.
bool CheckWhole(const QJsonObject& object, const TRecipe& recipe, std::string& error) {
    for (const char* needed : {"format", "job", "ports"})
        if (!object.contains(QLatin1String(needed))) {
            error = std::string("no '") + needed + "'";
            return false;
        }
    if (recipe.Ports.empty()) error = "names no ports";
    else if (recipe.Job == TDriverJob::Upload && !object.contains("firmware")) error = "an upload with no 'firmware'";
    else if (recipe.Job == TDriverJob::Factory && object.contains("firmware"))
        error = "the factory job loads its own images: 'firmware' does not belong to it";
    else if (recipe.Count > 0 && !recipe.Loop) error = "'count' needs 'loop'";
    return error.empty();
}

// The recipe's bytes: a regular file (never a FIFO or a device), not larger than a recipe can be,
// and reached on a way that nobody but its owner (root, this user) could have laid.
std::optional<std::string> ReadRecipeBytes(const std::string& path, std::string& error) {
    TOpenResult file = TryOpenRegularFile(path, O_RDONLY);
    if (file.NotRegular) error = "not a regular file";
    else if (file.Error) error = std::strerror(file.Error);
    else if (const std::string untrusted = UntrustedPathReason(path, file.Fd.Get()); !untrusted.empty())
        error = "not used: " + untrusted;
    if (!error.empty()) return std::nullopt;
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.Fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = std::strerror(errno);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        if (bytes.size() > kMaxRecipeSize) error = "too large for a recipe";
        if (!error.empty()) break;
    }
    if (!error.empty()) return std::nullopt;
    return bytes;
}

}  // namespace

std::string TRecipe::Folder() const { return Path.substr(0, FileNameStart(Path)); }

std::string TRecipe::RecordLocation() const { return AbsoluteRecordLocation(RecordDb, Folder()); }

std::string AbsoluteRecordLocation(const std::string& location, const std::string& folder) {
    const bool server = location.find("://") != std::string::npos;
    if (location.empty() || server || location.front() == '/') return location;
    return folder.empty() ? AbsolutePath(location) : folder + location;
}

std::string TRecipe::FirmwarePath() const {
    if (Firmware.empty() || Firmware.front() == '/') return Firmware;
    return Folder() + Firmware;
}

bool ReadRecipe(const std::string& path, TRecipe& recipe, std::string& error) {
    recipe = TRecipe{};
    const std::optional<std::string> bytes = ReadRecipeBytes(path, error);
    if (!bytes || !ParseRecipe(*bytes, recipe, error)) return false;
    recipe.Path = AbsolutePath(path);
    recipe.Name = recipe.Path.substr(FileNameStart(recipe.Path));
    return true;
}

bool ParseRecipe(const std::string& bytes, TRecipe& recipe, std::string& error) {
    recipe = TRecipe{};
    if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) {
        error = "empty";
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(bytes), &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        error = "not a recipe (JSON object): " +
                (doc.isNull() ? parse.errorString().toStdString() + " at byte " + std::to_string(parse.offset)
                              : std::string("not an object"));
        return false;
    }
    const QJsonObject object = doc.object();
    if (!ReadKeys(object, kKeys, "", recipe, error) || !CheckWhole(object, recipe, error)) return false;
    recipe.ContentSha256 = Sha256Hex(bytes);
    return true;
}

std::string RecipeText(const TRecipe& recipe) {
    QJsonObject object{{"format", TRecipe::kFormat},
                       {"job", recipe.Job == TDriverJob::Factory ? "factory" : "upload"}};
    if (recipe.Job == TDriverJob::Upload) {
        object["firmware"] = QJsonObject{{"file", QString::fromStdString(recipe.Firmware)},
                                         {"sha256", QString::fromStdString(recipe.Sha256)},
                                         {"size", static_cast<double>(recipe.Size)},
                                         {"blocks", recipe.Blocks},
                                         {"checksum", QString::fromStdString(recipe.Checksum)}};
        object["baud"] = recipe.Baud;
        object["verify"] = recipe.Verify;
        object["expect_version"] = QString::fromStdString(recipe.ExpectVersion);
    }
    QJsonArray ports;
    for (const std::string& port : recipe.Ports) ports.append(QString::fromStdString(port));
    object["ports"] = ports;
    object["loop"] = recipe.Loop;
    object["count"] = recipe.Count;
    object["record_db"] = QString::fromStdString(recipe.RecordDb);
    object["require_unit_id"] = recipe.RequireUnitId;
    if (recipe.PauseAfterFailures >= 0) object["pause_after_failures"] = recipe.PauseAfterFailures;
    return QJsonDocument(object).toJson(QJsonDocument::Indented).toStdString();
}

bool WriteRecipe(const std::string& path, TRecipe& recipe, std::string& error) {
    const std::string text = RecipeText(recipe);
    try {
        ReplaceFile(path, text);
    } catch (const EInOutError& e) {
        error = e.what();
        return false;
    }
    recipe.Path = AbsolutePath(path);
    recipe.Name = recipe.Path.substr(FileNameStart(recipe.Path));
    recipe.ContentSha256 = Sha256Hex(text);
    return true;
}

namespace {

std::string DigestMismatch(const TRecipe& recipe, const std::string& file, int64_t size, const std::string& digest) {
    if (digest == recipe.Sha256 && size == recipe.Size) return {};
    return "the firmware '" + ShownText(file) + "' is not the one the recipe pins: sha256 " + digest +
           " (file), " + recipe.Sha256 + " (recipe)";
}

}  // namespace

std::string FirmwareMismatch(const TRecipe& recipe) {
    if (recipe.Job != TDriverJob::Upload) return {};
    const std::string file = recipe.FirmwarePath();
    std::optional<std::string> bytes;
    try {
        bytes = ReadSmallFile(file, kMaxFirmwareSize);
    } catch (const EInOutError& e) {
        return std::string(e.what()) + " (the recipe pins sha256 " + recipe.Sha256 + ")";
    }
    if (!bytes) return "the firmware '" + ShownText(file) + "' is missing (the recipe pins sha256 " + recipe.Sha256 + ")";
    if (const std::string untrusted = UntrustedPathReason(file); !untrusted.empty())
        return "the firmware '" + ShownText(file) + "' is not used: " + untrusted;
    return DigestMismatch(recipe, file, static_cast<int64_t>(bytes->size()), Sha256Hex(*bytes));
}

std::string PreparedFirmwareMismatch(const TRecipe& recipe, const TJobResult& prepared) {
    if (recipe.Job != TDriverJob::Upload) return {};
    if (prepared.Kind != TResultKind::Prepared) return FirmwareMismatch(recipe);
    const std::string file = recipe.FirmwarePath();
    if (const std::string untrusted = UntrustedPathReason(file); !untrusted.empty())
        return "the firmware '" + ShownText(file) + "' is not used: " + untrusted;
    return DigestMismatch(recipe, file, prepared.InputSize, prepared.InputSha256);
}

std::string PinnedFirmwareMismatch(const TRecipe& recipe, const std::string& sha256, int64_t size) {
    return DigestMismatch(recipe, recipe.FirmwarePath(), size, sha256);
}

namespace {

// A word of a command as a shell reads it back: quoted when it holds anything but the plain.
std::string ShellWord(const std::string& word) {
    static const QRegularExpression plain("^[A-Za-z0-9@%+=:,./_-]+$");
    if (!word.empty() && plain.match(QString::fromStdString(word)).hasMatch()) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string RecipeRewriteRemedy(const TRecipe& recipe) {
    std::string command = "zupflshc recipe write " + ShellWord(recipe.Path.empty() ? recipe.Name : recipe.Path);
    command += recipe.Job == TDriverJob::Factory ? " factory" : " upload " + ShellWord(recipe.FirmwarePath());
    for (const std::string& name : recipe.Ports) {
        int com = 0;
        std::string device;
        PortOfName(name, com, device);
        command += com ? " --port " + std::to_string(com) : " --device " + ShellWord(device);
    }
    if (recipe.Job == TDriverJob::Upload && recipe.Baud != 38400) command += " --baud " + std::to_string(recipe.Baud);
    if (recipe.Loop) command += " --loop";
    if (recipe.Count > 0) command += " --count " + std::to_string(recipe.Count);
    if (!recipe.RecordDb.empty()) {
        static const QRegularExpression password("(://[^/:@]*):[^/@]*@");
        const QString location = QString::fromStdString(recipe.RecordDb).replace(password, "\\1@");
        command += " --record-db " + ShellWord(location.toStdString());
    }
    if (recipe.Verify) command += " --verify";
    if (!recipe.ExpectVersion.empty()) command += " --expect-version " + ShellWord(recipe.ExpectVersion);
    if (recipe.RequireUnitId) command += " --require-unit-id";
    return "the engineer must write the recipe again: `" + command + "`";
}

void PortOfName(const std::string& name, int& comPort, std::string& device) {
    static const QRegularExpression com("^[Cc][Oo][Mm] ?([0-9]{1,6})$");
    const QRegularExpressionMatch m = com.match(QString::fromStdString(name));
    comPort = m.hasMatch() ? m.captured(1).toInt() : 0;
    device = m.hasMatch() ? std::string() : name;
}

std::string PortName(int comPort, const std::string& device) {
    return device.empty() ? "COM " + std::to_string(comPort) : device;
}
