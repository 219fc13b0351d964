#include "cli/KeyCommand.h"

#include <QFile>
#include <cstdio>
#include <optional>

#include "base/ShownText.h"
#include "cli/CommandLineOptions.h"
#include "driver/Recipe.h"
#include "driver/RecipeSignature.h"
#include "driver/StationPolicy.h"

namespace {

int Refuse(const std::string& text) {
    std::fprintf(stderr, "zupflshc: %s\n", text.c_str());
    return Exit::Usage;
}

std::string Local(const QString& text) { return QFile::encodeName(text).toStdString(); }

// The value of `--name` in `words` ("--key K" or "--key=K"), all of them for a repeated one; the
// rest left in `words`. False when one has no value.
bool TakeOption(QStringList& words, const QString& name, QStringList& values) {
    for (qsizetype i = 0; i < words.size();) {
        if (words[i] == name && i + 1 < words.size()) {
            values << words[i + 1];
            words.remove(i, 2);
        } else if (words[i].startsWith(name + "=")) {
            values << words[i].mid(name.size() + 1);
            words.remove(i);
        } else if (words[i] == name) {
            return false;
        } else {
            ++i;
        }
    }
    return true;
}

bool LoadRecipe(const std::string& path, TRecipe& recipe, std::string& error) {
    if (ReadRecipe(path, recipe, error)) return true;
    error = "recipe '" + ShownText(path) + "': " + error;
    return false;
}

int NewKey(const QStringList& words, const TRawArgument& raw) {
    if (words.size() != 1) return Refuse("key new takes one NAME (NAME.key and NAME.pub are made)");
    TPublicKey key;
    std::string error;
    if (!MakeKeyPair(raw(Local(words[0])), key, error)) return Refuse(error);
    const std::string name = raw(Local(words[0]));
    std::printf("Written: %s.key (private: keep it to yourself)\n", ShownText(name).c_str());
    std::printf("Written: %s.pub (give it to the stations)\n", ShownText(name).c_str());
    std::printf("Key id: %s\n", key.Id.c_str());
    return Exit::Success;
}

int ShowKey(const QStringList& words, const TRawArgument& raw) {
    if (words.size() != 1) return Refuse("key show takes one FILE (NAME.pub)");
    TPublicKey key;
    std::string error;
    if (!ReadPublicKey(raw(Local(words[0])), key, error)) return Refuse(error);
    std::printf("%s\n", key.Id.c_str());
    return Exit::Success;
}

}  // namespace

int RunKeyCommand(const QStringList& words, const TRawArgument& raw) {
    if (words.isEmpty() || words.contains("--help") || words.contains("-h")) {
        std::fputs(KeyUsageText().toLocal8Bit().constData(), stdout);
        return words.isEmpty() ? Exit::Usage : Exit::Success;
    }
    if (words[0] == "new") return NewKey(words.mid(1), raw);
    if (words[0] == "show") return ShowKey(words.mid(1), raw);
    return Refuse("unknown key command '" + Local(words[0]) + "' (new or show)");
}

QString KeyUsageText() {
    return "Usage: zupflshc key new NAME\n"
           "       zupflshc key show FILE\n"
           "An engineer's Ed25519 key signs the recipes a line may run.\n"
           "\n"
           "  new     makes NAME.key (private, yours alone: mode 0600) and NAME.pub\n"
           "          (for the stations' policy); an existing file is never replaced\n"
           "  show    prints the key id of FILE (NAME.pub or NAME.key): 16\n"
           "          hexadecimal digits, as records and history --signed-by name it\n";
}

int SignRecipeCommand(const QStringList& given, const TRawArgument& raw) {
    QStringList words = given, keys;
    if (!TakeOption(words, "--key", keys) || keys.size() != 1 || words.size() != 1)
        return Refuse("recipe sign takes FILE.json and --key NAME.key");
    TRecipe recipe;
    std::string error;
    // Only a recipe this program would run is signed: a signature vouches for what it reads.
    if (!LoadRecipe(raw(Local(words[0])), recipe, error)) return Refuse(error);
    TRecipeSignature written;
    if (!SignRecipeFile(recipe.Path, raw(Local(keys[0])), written, error)) return Refuse(error);
    std::printf("Written: %s (signed by %s, key %s)\n", ShownText(SignaturePathOf(recipe.Path)).c_str(),
                ShownText(written.Signer).c_str(), written.KeyId.c_str());
    return Exit::Success;
}

int VerifyRecipeCommand(const QStringList& given, const TRawArgument& raw) {
    QStringList words = given, trust;
    if (!TakeOption(words, "--trust", trust) || trust.isEmpty() || words.size() != 1)
        return Refuse("recipe verify takes FILE.json and --trust NAME.pub (one or more)");
    std::vector<TPublicKey> keys;
    std::string error;
    for (const QString& file : trust) {
        TPublicKey key;
        if (!ReadPublicKey(raw(Local(file)), key, error)) return Refuse(error);
        keys.push_back(key);
    }
    TRecipe recipe;
    if (!LoadRecipe(raw(Local(words[0])), recipe, error)) return Refuse(error);
    const TSignatureCheck check = CheckRecipeSignature(recipe, keys);
    if (check.State != TSignatureCheck::TState::Trusted)
        return Refuse("recipe '" + ShownText(recipe.Name) + "' is not approved: " + check.Reason);
    std::printf("Recipe %s: %s\n", ShownText(recipe.Name).c_str(), check.Text().c_str());
    return Exit::Success;
}

std::string SignatureLine(const TRecipe& recipe) {
    std::optional<TStationPolicy> policy;
    std::string error;
    // A station whose policy cannot be used trusts no key; `show` still tells what the file says.
    if (!LoadStationPolicy({}, policy, error)) policy.reset();
    const TSignatureCheck check = CheckRecipeSignature(recipe, TrustedKeys(policy));
    return "Signature: " + check.Text();
}

std::string UnsignedJobRefusal(const std::string& policyPath) {
    std::optional<TStationPolicy> policy;
    std::string error;
    if (!LoadStationPolicy(policyPath, policy, error)) return error;
    if (policy && policy->RequireSignedRecipes) return policy->SignedOnly() + ": run a signed recipe; nothing was sent";
    return {};
}

std::string RecipeRunRefusal(const TRecipe& recipe, TCliOptions& options) {
    std::optional<TStationPolicy> policy;
    std::string error;
    if (!LoadStationPolicy(options.PolicyPath, policy, error)) return error;
    std::string refusal;
    const TSignatureCheck check = RecipeApproval(recipe, policy, refusal);
    if (!refusal.empty()) return refusal + "; nothing was sent";
    if (check.Valid()) options.RecipeKeyId = check.KeyId;
    return {};
}
