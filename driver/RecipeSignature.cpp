#include "driver/RecipeSignature.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Paths.h"
#include "base/RunError.h"
#include "base/SafeFile.h"
#include "base/Sha256.h"
#include "base/ShownText.h"
#include "driver/Recipe.h"

namespace {

constexpr size_t kRawKeySize = 32;
constexpr size_t kSignatureSize = 64;
constexpr size_t kMaxKeyFileSize = 16u << 10;
constexpr size_t kMaxSignatureFileSize = 16u << 10;
constexpr size_t kMaxRecipeSize = 1u << 20;
constexpr size_t kMaxSignerSize = 128;

struct TFreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TFreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct TFreeMdContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeKey>;
using TBio = std::unique_ptr<BIO, TFreeBio>;

// A key file protected by a passphrase is not ours: without this OpenSSL would ask on the terminal.
int NoPassphrase(char*, int, int, void*) { return 0; }

std::string Pem(bool isPrivate, EVP_PKEY* key) {
    TBio bio(BIO_new(BIO_s_mem()));
    const int ok = isPrivate ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                             : PEM_write_bio_PUBKEY(bio.get(), key);
    char* data = nullptr;
    const long size = ok == 1 ? BIO_get_mem_data(bio.get(), &data) : 0;
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string RawPublic(EVP_PKEY* key) {
    std::string raw(kRawKeySize, '\0');
    size_t size = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
        size != kRawKeySize)
        return {};
    return raw;
}

// The name a key was made under: its file's name without ".pub" or ".key".
std::string KeyNameOf(const std::string& path) {
    std::string name = path.substr(FileNameStart(path));
    for (const char* ext : {".pub", ".key"})
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ext) == 0) return name.substr(0, name.size() - 4);
    return name;
}

bool WriteNewFile(const std::string& path, const std::string& bytes, mode_t mode, std::string& error) {
    // O_EXCL and O_NOFOLLOW: a key never replaces a file, nor goes through a link someone put there.
    TUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    bool ok = fd.Valid() && ::fchmod(fd.Get(), mode) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd.Get()) == 0 && fd.Close() == 0;
    if (!ok) error = "cannot write '" + ShownText(path) + "': " + std::strerror(errno);
    return ok;
}

// The private key at `path`, refused when anyone but its owner may read or change it (as OpenSSH
// refuses an identity file), or when it belongs to another user.
TKey ReadPrivateKey(const std::string& path, std::string& error) {
    try {
        TUniqueFd fd = OpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0) throw EInOutError("Cannot open file", path, errno);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        if (st.st_mode & 077) {
            error = "the private key '" + ShownText(path) + "' may be read or changed by other users (mode " + mode +
                    "): make it yours alone (chmod 600)";
            return nullptr;
        }
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            error = "the private key '" + ShownText(path) + "' belongs to another user";
            return nullptr;
        }
        // Read from the descriptor judged: not whatever stands at the name a moment later.
        const std::string bytes = ReadOpenedFile(fd.Get(), path, kMaxKeyFileSize);
        TBio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        TKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
        if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
            error = "'" + ShownText(path) + "' is not an Ed25519 private key of `zupflshc key new`";
            return nullptr;
        }
        return key;
    } catch (const EInOutError& e) {
        error = e.what();
        return nullptr;
    }
}

bool Base64(const QJsonValue& value, size_t size, std::string& out) {
    if (!value.isString()) return false;
    const auto decoded = QByteArray::fromBase64Encoding(value.toString().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || static_cast<size_t>(decoded.decoded.size()) != size) return false;
    out = decoded.decoded.toStdString();
    return true;
}

bool SoundSigner(const QJsonValue& value, std::string& out) {
    if (!value.isString()) return false;
    out = value.toString().toStdString();
    if (out.empty() || out.size() > kMaxSignerSize) return false;
    for (const unsigned char c : out)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

bool VerifyBytes(const std::string& rawPublic, const std::string& signature, const std::string& bytes) {
    TKey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                         reinterpret_cast<const unsigned char*>(rawPublic.data()), rawPublic.size()));
    std::unique_ptr<EVP_MD_CTX, TFreeMdContext> context(EVP_MD_CTX_new());
    return key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
}

}  // namespace

std::string KeyIdOf(const std::string& rawPublicKey) { return Sha256Hex(rawPublicKey).substr(0, 16); }

bool MakeKeyPair(const std::string& name, TPublicKey& made, std::string& error) {
    const std::string base = name.substr(FileNameStart(name));
    if (base.empty() || ShownText(base) != base || base.size() > kMaxSignerSize) {
        error = "a key's NAME is a file name of printable characters, as line-eng";
        return false;
    }
    const std::string keyPath = name + ".key", pubPath = name + ".pub";
    struct stat st {};
    for (const std::string& path : {keyPath, pubPath})
        if (::lstat(path.c_str(), &st) == 0) {
            error = "'" + ShownText(path) + "' exists: a key is never replaced";
            return false;
        }
    TKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    const std::string privatePem = key ? Pem(true, key.get()) : std::string();
    const std::string publicPem = key ? Pem(false, key.get()) : std::string();
    made = {RawPublic(key.get()), {}, base, pubPath};
    if (privatePem.empty() || publicPem.empty() || made.Raw.empty()) {
        error = "OpenSSL could not make an Ed25519 key";
        return false;
    }
    made.Id = KeyIdOf(made.Raw);
    if (!WriteNewFile(keyPath, privatePem, 0600, error)) return false;
    if (!WriteNewFile(pubPath, publicPem, 0644, error)) {
        ::unlink(keyPath.c_str());  // ours, just made: a private key without its public half helps nobody
        return false;
    }
    return true;
}

namespace {

bool KeyOf(EVP_PKEY* pkey, const std::string& path, TPublicKey& key, std::string& error) {
    key = {pkey && EVP_PKEY_get_base_id(pkey) == EVP_PKEY_ED25519 ? RawPublic(pkey) : std::string(), {},
           KeyNameOf(path), AbsolutePath(path)};
    if (key.Raw.empty()) {
        error = "'" + ShownText(path) + "' is not an Ed25519 public key of `zupflshc key new`";
        return false;
    }
    key.Id = KeyIdOf(key.Raw);
    return true;
}

}  // namespace

bool ParsePublicKey(const std::string& pem, const std::string& path, TPublicKey& key, std::string& error) {
    TBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    const TKey pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassphrase, nullptr));
    return KeyOf(pkey.get(), path, key, error);
}

bool ReadPublicKey(const std::string& path, TPublicKey& key, std::string& error) {
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".key") == 0) {
        const TKey pkey = ReadPrivateKey(path, error);
        return pkey && KeyOf(pkey.get(), path, key, error);
    }
    try {
        const std::optional<std::string> bytes = ReadSmallFile(path, kMaxKeyFileSize);
        if (!bytes) throw EInOutError("Cannot open file", path, ENOENT);
        return ParsePublicKey(*bytes, path, key, error);
    } catch (const EInOutError& e) {
        error = e.what();
        return false;
    }
}

bool ParseRecipeSignature(const std::string& bytes, TRecipeSignature& signature, std::string& error) {
    signature = {};
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(bytes), &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        error = "not a signature file (JSON object)";
        return false;
    }
    const QJsonObject o = doc.object();
    for (auto it = o.begin(); it != o.end(); ++it)
        if (!QStringList{"format", "key_id", "signer", "public_key", "signature"}.contains(it.key())) {
            error = "unknown key '" + ShownText(it.key().toStdString()) + "'";
            return false;
        }
    if (o.value("format") != QJsonValue(TRecipeSignature::kFormat)) {
        error = "not of format " + std::to_string(TRecipeSignature::kFormat) + ", the one this program reads";
        return false;
    }
    if (!SoundSigner(o.value("signer"), signature.Signer) || !Base64(o.value("public_key"), kRawKeySize, signature.PublicKey) ||
        !Base64(o.value("signature"), kSignatureSize, signature.Signature) || !o.value("key_id").isString()) {
        error = "'signer', 'key_id', 'public_key' and 'signature' must be a name, a key id and base64 of 32 and 64 bytes";
        return false;
    }
    signature.KeyId = o.value("key_id").toString().toStdString();
    if (signature.KeyId != KeyIdOf(signature.PublicKey)) {
        error = "the key id is not its public key's";
        return false;
    }
    return true;
}

std::string RecipeSignatureText(const TRecipeSignature& s) {
    const QJsonObject o{{"format", TRecipeSignature::kFormat},
                        {"key_id", QString::fromStdString(s.KeyId)},
                        {"signer", QString::fromStdString(s.Signer)},
                        {"public_key", QString::fromLatin1(QByteArray::fromStdString(s.PublicKey).toBase64())},
                        {"signature", QString::fromLatin1(QByteArray::fromStdString(s.Signature).toBase64())}};
    return QJsonDocument(o).toJson(QJsonDocument::Indented).toStdString();
}

std::string SignaturePathOf(const std::string& recipePath) { return recipePath + ".sig"; }

bool SignRecipeFile(const std::string& recipePath, const std::string& keyPath, TRecipeSignature& written,
                    std::string& error) {
    const TKey key = ReadPrivateKey(keyPath, error);
    if (!key) return false;
    std::optional<std::string> bytes;
    try {
        bytes = ReadSmallFile(recipePath, kMaxRecipeSize);
        if (!bytes) throw EInOutError("Cannot open file", recipePath, ENOENT);
    } catch (const EInOutError& e) {
        error = e.what();
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, TFreeMdContext> context(EVP_MD_CTX_new());
    std::string signature(kSignatureSize, '\0');
    size_t size = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size()) != 1 ||
        size != kSignatureSize) {
        error = "OpenSSL could not sign '" + ShownText(recipePath) + "'";
        return false;
    }
    written = {{}, KeyNameOf(keyPath), RawPublic(key.get()), signature};
    written.KeyId = KeyIdOf(written.PublicKey);
    try {
        ReplaceFile(SignaturePathOf(recipePath), RecipeSignatureText(written));
    } catch (const EInOutError& e) {
        error = e.what();
        return false;
    }
    return true;
}

std::string TSignatureCheck::Text() const {
    switch (State) {
    case TState::Trusted: return "signed by " + ShownText(Signer) + " (key " + KeyId + ")";
    case TState::Untrusted: return "signed by key " + KeyId + " (says " + ShownText(Signer) + "), not trusted here";
    case TState::NotSigned: return "not signed";
    case TState::Unreadable:
    case TState::Changed: break;
    }
    return Reason;
}

TSignatureCheck CheckRecipeSignature(const TRecipe& recipe, const std::vector<TPublicKey>& trusted) {
    using TState = TSignatureCheck::TState;
    TSignatureCheck check;
    const std::string sigPath = SignaturePathOf(recipe.Path);
    std::optional<std::string> sigBytes, bytes;
    try {
        sigBytes = ReadSmallFile(sigPath, kMaxSignatureFileSize);
        if (!sigBytes) {
            check.Reason = "not signed (no " + ShownText(sigPath.substr(FileNameStart(sigPath))) + ")";
            return check;
        }
        bytes = ReadSmallFile(recipe.Path, kMaxRecipeSize);
    } catch (const EInOutError& e) {
        check.State = TState::Unreadable;
        check.Reason = e.what();
        return check;
    }
    TRecipeSignature signature;
    std::string error;
    if (!ParseRecipeSignature(*sigBytes, signature, error)) {
        check.State = TState::Unreadable;
        check.Reason = "its signature '" + ShownText(sigPath) + "' cannot be read: " + error;
        return check;
    }
    // The bytes checked must be the bytes that were read as the recipe, not a file swapped in since.
    if (!bytes || Sha256Hex(*bytes) != recipe.ContentSha256 || !VerifyBytes(signature.PublicKey, signature.Signature, *bytes)) {
        check.State = TState::Changed;
        check.Reason = "its bytes changed since it was signed (key " + signature.KeyId + ")";
        return check;
    }
    check.KeyId = signature.KeyId;
    for (const TPublicKey& key : trusted)
        if (key.Raw == signature.PublicKey) {
            // The name in the signature file is the signer's claim, which anyone could edit: a
            // trusted key is named as the station knows it.
            check.State = TState::Trusted;
            check.Signer = key.Name;
            return check;
        }
    check.State = TState::Untrusted;
    check.Signer = signature.Signer;
    check.Reason = "signed by key " + signature.KeyId + " (says " + ShownText(signature.Signer) + "), which is not trusted";
    return check;
}
