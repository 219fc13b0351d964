#include "driver/StationPolicy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Paths.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "base/ShownText.h"
#include "base/TrustedPath.h"
#include "driver/Recipe.h"

namespace {

constexpr size_t kMaxPolicySize = 64u << 10;
constexpr qsizetype kMaxKeys = 256;

// Whether the file at `path` may decide for the station: "" when it may, else why not. Only root
// (or the running user, for a policy they named themselves) may own it and write to it. `bytes`:
// what the descriptor judged holds, so nothing swapped in after the judgement is read.
std::string UnusableReason(const std::string& path, bool userMayOwn, std::string& bytes) {
    TOpenResult opened = TryOpenRegularFile(path, O_RDONLY);
    if (!opened.Fd.Valid())
        return opened.NotRegular ? "not a regular file" : std::string(std::strerror(opened.Error));
    struct stat st {};
    if (::fstat(opened.Fd.Get(), &st) != 0) return std::strerror(errno);
    if (st.st_uid != 0 && !(userMayOwn && st.st_uid == ::geteuid()))
        return userMayOwn ? "it belongs neither to root nor to you" : "it does not belong to root";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("others may write to it (mode ") + mode + ")";
    }
    if (std::string why = UntrustedPathReason(path, opened.Fd.Get()); !why.empty()) return why;
    try {
        bytes = ReadOpenedFile(opened.Fd.Get(), path, kMaxPolicySize);
    } catch (const EInOutError& e) {
        return e.what();
    }
    return {};
}

}  // namespace

bool ParsePolicy(const std::string& bytes, TPolicyText& policy, std::string& error) {
    policy = {};
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(bytes), &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        error = "not a policy (JSON object)";
        return false;
    }
    const QJsonObject o = doc.object();
    for (auto it = o.begin(); it != o.end(); ++it)
        if (it.key() != "trusted_keys" && it.key() != "require_signed_recipes") {
            error = "unknown key '" + ShownText(it.key().toStdString()) + "'";
            return false;
        }
    const QJsonValue require = o.value("require_signed_recipes");
    if (!require.isUndefined() && !require.isBool()) {
        error = "'require_signed_recipes' must be true or false";
        return false;
    }
    policy.RequireSignedRecipes = require.toBool(false);
    const QJsonValue keys = o.value("trusted_keys");
    if (!keys.isUndefined() && (!keys.isArray() || keys.toArray().size() > kMaxKeys)) {
        error = "'trusted_keys' must be a list of public key files";
        return false;
    }
    for (const QJsonValue key : keys.toArray()) {
        if (!key.isString() || key.toString().isEmpty()) {
            error = "'trusted_keys' must be a list of public key files";
            return false;
        }
        policy.TrustedKeys.push_back(key.toString().toStdString());
    }
    if (policy.RequireSignedRecipes && policy.TrustedKeys.empty()) {
        error = "it requires signed recipes but trusts no key";
        return false;
    }
    return true;
}

std::string TStationPolicy::SignedOnly() const {
    return "this station loads signed recipes only (policy " + ShownText(Path) + ")";
}

std::string TStationPolicy::RecipeRefusal(const TRecipe& recipe, const TSignatureCheck& check) const {
    if (!RequireSignedRecipes || check.State == TSignatureCheck::TState::Trusted) return {};
    return "recipe '" + ShownText(recipe.Name) + "' is " +
           (check.State == TSignatureCheck::TState::NotSigned ? std::string("not signed") : "not approved: " + check.Reason) +
           ", and " + SignedOnly();
}

bool LoadStationPolicy(const std::string& given, std::optional<TStationPolicy>& policy, std::string& error) {
    policy.reset();
    const std::string path = AbsolutePath(given.empty() ? kDefaultPolicyPath : given);
    struct stat st {};
    if (given.empty() && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
    const auto refuse = [&](const std::string& file, const std::string& why) {
        error = "the station's policy " + ShownText(path) + " cannot be used (" +
                (file == path ? std::string() : ShownText(file) + ": ") + why + "); no job is started";
        return false;
    };
    std::string bytes, problem;
    if (const std::string why = UnusableReason(path, !given.empty(), bytes); !why.empty()) return refuse(path, why);
    TPolicyText text;
    if (!ParsePolicy(bytes, text, problem)) return refuse(path, problem);
    TStationPolicy loaded;
    loaded.Path = path;
    loaded.RequireSignedRecipes = text.RequireSignedRecipes;
    for (const std::string& name : text.TrustedKeys) {
        const std::string file = name.front() == '/' ? name : path.substr(0, FileNameStart(path)) + name;
        if (const std::string why = UnusableReason(file, !given.empty(), bytes); !why.empty()) return refuse(file, why);
        TPublicKey key;
        if (!ParsePublicKey(bytes, file, key, problem)) return refuse(file, problem);
        loaded.Keys.push_back(key);
    }
    policy = loaded;
    return true;
}

const std::vector<TPublicKey>& TrustedKeys(const std::optional<TStationPolicy>& policy) {
    static const std::vector<TPublicKey> none;
    return policy ? policy->Keys : none;
}

TSignatureCheck RecipeApproval(const TRecipe& recipe, const std::optional<TStationPolicy>& policy,
                               std::string& refusal) {
    TSignatureCheck check = CheckRecipeSignature(recipe, TrustedKeys(policy));
    refusal = policy ? policy->RecipeRefusal(recipe, check) : std::string();
    return check;
}
