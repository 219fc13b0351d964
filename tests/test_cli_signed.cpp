// Signed recipes on the command line against a simulated unit, with keys made inside the test:
// signed and checked, every way a recipe is not approved, a station's policy that requires
// signatures refusing each job that is not a signed recipe before any port opens, and the records
// of a signed recipe naming its key.
#include <QJsonArray>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "driver/StationPolicy.h"
#include "support/AsUser.h"
#include "support/Firmware.h"
#include "support/StationRun.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kOneUnit = {"--restart-ms", "100"};

// A line's engineer (eng), a stranger (other), a firmware and a recipe for port 1.
struct SignedLine : Station {
    std::string eng = root / "keys/eng", other = root / "keys/other";
    std::string recipe = root / "line.json";
    std::string engId;

    SignedLine() {
        Unit(1, kOneUnit);
        fs::create_directory(root / "keys");
        for (const std::string& key : {eng, other}) {
            const Outcome made = Run({"key", "new", Q(key)});
            EXPECT_EQ(made.status, 0) << made.err;
        }
        engId = KeyId(eng + ".pub");
        const std::string firmware = File("fw.h86", TestFirmware::Make(10, 3).hex);
        const Outcome w = Run(QStringList{"recipe", "write", Q(recipe), "upload", Q(firmware), "--record-db",
                                          Q(root / "line.sqlite")} + Devices(1));
        EXPECT_EQ(w.status, 0) << w.err;
    }
    std::string KeyId(const std::string& file) const {
        const Outcome shown = Run({"key", "show", Q(file)});
        EXPECT_EQ(shown.status, 0) << shown.err;
        return shown.out.substr(0, shown.out.find('\n'));
    }
    Outcome Sign(const std::string& path, const std::string& key) const {
        return Run({"recipe", "sign", Q(path), "--key", Q(key + ".key")});
    }
    // A policy that requires signed recipes and trusts eng's key.
    std::string Policy(const std::string& content = R"({"trusted_keys": ["keys/eng.pub"], "require_signed_recipes": true})") {
        return File("policy.json", content);
    }
    std::string Wakeups() { return units[0]->Report()["wakeups"]; }
};

}  // namespace

TEST(SignedRecipe, SignedVerifiedAndEveryWayItIsNotApproved) {
    SignedLine s;
    ASSERT_EQ(s.engId.size(), 16u);
    EXPECT_NE(s.engId, s.KeyId(s.other + ".pub"));
    EXPECT_EQ(s.KeyId(s.eng + ".key"), s.engId) << "a private key shows its public half's id";
    EXPECT_EQ(fs::status(s.eng + ".key").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const Outcome again = s.Run({"key", "new", Q(s.eng)});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("a key is never replaced"), std::string::npos) << again.err;

    const Outcome signedNow = s.Sign(s.recipe, s.eng);
    ASSERT_EQ(signedNow.status, 0) << signedNow.err;
    const std::string good = ReadWholeFile(s.recipe), goodSig = ReadWholeFile(s.recipe + ".sig");
    const std::string claimsBoss = QString::fromStdString(goodSig).replace("\"eng\"", "\"boss\"").toStdString();
    struct Row {
        const char* what;
        std::string recipe, sig;  // "" for the sig: none
        const char* trust;
        int status;
        std::string says;
    };
    std::string changed = good;
    changed[changed.find('\n')] = ' ';
    const Row rows[] = {
        {"signed", good, goodSig, "eng", 0, "signed by eng (key " + s.engId + ")"},
        // The name in the signature file is a claim anyone can edit: a trusted key is named as the station knows it.
        {"the signer's name edited", good, claimsBoss, "eng", 0, "signed by eng (key " + s.engId + ")"},
        {"another key trusted", good, goodSig, "other", 2, "signed by key " + s.engId + " (says eng), which is not trusted"},
        {"one byte changed", changed, goodSig, "eng", 2, "its bytes changed since it was signed"},
        {"no signature", good, "", "eng", 2, "not signed (no line.json.sig)"},
        {"a signature file of nonsense", good, "{\"format\": 1}", "eng", 2, "cannot be read"},
    };
    for (const Row& row : rows) {
        WriteWholeFile(s.recipe, row.recipe);
        fs::remove(s.recipe + ".sig");
        if (!row.sig.empty()) WriteWholeFile(s.recipe + ".sig", row.sig);
        const Outcome r = s.Run({"recipe", "verify", Q(s.recipe), "--trust", Q(s.root / "keys/" + row.trust + ".pub")});
        EXPECT_EQ(r.status, row.status) << row.what << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.says), std::string::npos) << row.what << ": " << r.out << r.err;
    }
    WriteWholeFile(s.recipe + ".sig", goodSig);
    const Outcome shown = s.Run({"recipe", "show", Q(s.recipe)});
    EXPECT_NE(shown.out.find("Signature: signed by key " + s.engId), std::string::npos) << shown.out;

    // A private key other users may read signs nothing, and the signature there stays as it was.
    ASSERT_EQ(::chmod((s.eng + ".key").c_str(), 0640), 0);
    const Outcome exposed = s.Sign(s.recipe, s.eng);
    EXPECT_EQ(exposed.status, 2);
    EXPECT_NE(exposed.err.find("may be read or changed by other users (mode 0640)"), std::string::npos) << exposed.err;
    EXPECT_EQ(ReadWholeFile(s.recipe + ".sig"), goodSig);
}

// Under a policy that requires signed recipes, nothing but a recipe signed by a trusted key loads a
// unit, and what is refused names the policy before any port opens; the signed recipe's records
// name its key.
TEST(SignedRecipe, ARequiringPolicyLoadsSignedRecipesOnly) {
    SignedLine s;
    const std::string policy = s.Policy();
    const std::string byOther = s.root / "other.json", unsignedOne = s.root / "unsigned.json";
    fs::copy_file(s.recipe, byOther);
    fs::copy_file(s.recipe, unsignedOne);
    ASSERT_EQ(s.Sign(s.recipe, s.eng).status, 0);
    ASSERT_EQ(s.Sign(byOther, s.other).status, 0);
    const std::string signedOnly = "this station loads signed recipes only (policy " + policy + ")";
    struct Row {
        QStringList args;
        std::string says;
    };
    const Row rows[] = {
        {QStringList{"upload", Q(s.root / "fw.h86"), "--tick-ms", "2"} + s.Devices(1), signedOnly},
        {QStringList{"factory", "--yes", "--tick-ms", "2"} + s.Devices(1), signedOnly},
        {{"recipe", "run", Q(unsignedOne), "--tick-ms", "2"}, "recipe 'unsigned.json' is not signed, and " + signedOnly},
        {{"recipe", "run", Q(byOther), "--tick-ms", "2"}, "(says other), which is not trusted, and " + signedOnly},
        {{"station", Q(unsignedOne)}, "recipe 'unsigned.json' is not signed, and " + signedOnly},
    };
    for (const Row& row : rows) {
        const Outcome r = s.Run(row.args + QStringList{"--policy", Q(policy)});
        EXPECT_EQ(r.status, 2) << row.args.join(' ').toStdString() << ": " << r.out;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(s.Wakeups(), "0");
    EXPECT_EQ(s.units[0]->Report()["speeds"], "") << "no port was opened";

    const Outcome run = s.Run({"recipe", "run", Q(s.recipe), "--json", "--tick-ms", "2", "--policy", Q(policy)}, 60000);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const auto results = Events(run.out, "result");
    ASSERT_EQ(results.size(), 1u) << run.out;
    EXPECT_EQ(results[0]["recipe_key_id"], Q(s.engId));
    // The same line without its policy, from a recipe nobody signed: loaded, and counted so.
    const std::string unsignedSlot = s.root / "line-unsigned.json";
    fs::copy_file(s.recipe, unsignedSlot);
    s.Unit(1, kOneUnit);
    EXPECT_EQ(s.Run({"recipe", "run", Q(unsignedSlot), "--tick-ms", "2"}, 60000).status, 0);
    const QStringList db{"history", "--record-db", Q(s.root / "line.sqlite")};
    const Outcome bySigner = s.Run(db + QStringList{"--json", "--signed-by", Q(s.engId)});
    const std::vector<std::string> lines = Lines(bySigner.out);
    ASSERT_EQ(lines.size(), 1u) << bySigner.out << bySigner.err;
    EXPECT_EQ(Json(lines[0])["recipe_key_id"], Q(s.engId));
    EXPECT_EQ(Json(lines[0])["recipe"], "line.json");
    const Outcome summary = s.Run(db + QStringList{"--summary"});
    EXPECT_NE(summary.out.find("Loaded from unsigned recipes: 1 (from signed recipes: 1, without a recipe: 0)"), std::string::npos) << summary.out;
}

TEST(SignedRecipe, APolicyThatCannotBeUsedStartsNoJob) {
    SignedLine s;
    struct Row {
        std::string content;
        mode_t mode;
        std::string says;
    };
    const Row rows[] = {
        {R"({"trusted_keys": ["keys/eng.pub"], "require_signed": true})", 0644, "unknown key 'require_signed'"},
        {R"({"require_signed_recipes": true})", 0644, "it requires signed recipes but trusts no key"},
        {R"({"trusted_keys": ["keys/eng.pub"], "require_signed_recipes": "yes"})", 0644, "must be true or false"},
        {R"({"trusted_keys": ["keys/nobody.pub"]})", 0644, "nobody.pub: No such file"},
        {R"({"trusted_keys": ["keys/eng.pub"]})", 0666, "others may write to it (mode 0666)"},
        {R"({"trusted_keys": ["keys/eng.pub"]})", 0620, "others may write to it (mode 0620)"},
    };
    for (const Row& row : rows) {
        const std::string policy = s.Policy(row.content);
        ASSERT_EQ(::chmod(policy.c_str(), row.mode), 0);
        const Outcome r = s.Run(QStringList{"upload", Q(s.root / "fw.h86"), "--policy", Q(policy)} + s.Devices(1));
        EXPECT_EQ(r.status, 2) << row.content;
        EXPECT_NE(r.err.find("the station's policy " + policy + " cannot be used"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(s.Wakeups(), "0");
}

// What another user could have written decides nothing: a policy, or a key it names, that
// belongs to someone else (who may write to it) is refused, naming the file.
TEST(SignedRecipeAsRoot, APolicyOrKeyAnotherUserOwnsIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    SignedLine s;
    const std::string policy = s.Policy();
    const std::string pub = s.eng + ".pub";
    for (const std::string& owned : {policy, pub}) {
        ASSERT_EQ(::chown(owned.c_str(), kNobody, kNobody), 0);
        const Outcome r = s.Run(QStringList{"factory", "--yes", "--policy", Q(policy)} + s.Devices(1));
        EXPECT_EQ(r.status, 2) << owned;
        EXPECT_NE(r.err.find("cannot be used (" + (owned == pub ? pub + ": " : std::string()) +
                             "it belongs neither to root nor to you"),
                  std::string::npos)
            << r.err;
        ASSERT_EQ(::chown(owned.c_str(), 0, 0), 0);
    }
    // The same files, root's, used by a second user who can write to none of them.
    ASSERT_EQ(::chmod(s.root.Path().c_str(), 0755), 0);
    EXPECT_EQ(RunAsUser(kNobody, kNobody, [&] {
                  std::optional<TStationPolicy> loaded;
                  std::string error;
                  return LoadStationPolicy(policy, loaded, error) && loaded && loaded->Keys.size() == 1 ? "used" : error;
              }),
              "used");
    EXPECT_EQ(s.Wakeups(), "0");
}
