// The engineer's Ed25519 keys and the detached signatures they put beside a recipe: made, read and
// checked through OpenSSL's EVP interface (none of the cryptography is ours), so that a station can
// tell who released the firmware a recipe pins.
#pragma once

#include <string>
#include <vector>

struct TRecipe;

// A public key as a station trusts it: its raw 32 bytes, its id and the name it was made under.
struct TPublicKey {
    std::string Raw;
    std::string Id;    // KeyIdOf(Raw)
    std::string Name;  // the file's name without ".pub" (or ".key"): NAME of `key new NAME`
    std::string Path;
};

// A key's short fingerprint: the first 16 hexadecimal digits of the SHA-256 of its raw public key.
std::string KeyIdOf(const std::string& rawPublicKey);

// Makes NAME.key (private, mode 0600, never over an existing file or through a link) and NAME.pub.
// False with `error`; on success `made` is the new public key.
bool MakeKeyPair(const std::string& name, TPublicKey& made, std::string& error);
// A public key file (NAME.pub). A private key file gives its public half, after the same checks
// as for signing.
bool ReadPublicKey(const std::string& path, TPublicKey& key, std::string& error);
// A public key file's bytes (PEM), read from `path`.
bool ParsePublicKey(const std::string& pem, const std::string& path, TPublicKey& key, std::string& error);

// What RECIPE.sig holds.
struct TRecipeSignature {
    static constexpr int kFormat = 1;
    std::string KeyId;      // of PublicKey, checked when read
    std::string Signer;     // the name the key was made under, as the signer claims it
    std::string PublicKey;  // raw, so a signature can be checked without the key at hand
    std::string Signature;  // raw, 64 bytes
};
// Checks the form only (JSON of a known format, known keys, sound lengths, an id that is the key's).
bool ParseRecipeSignature(const std::string& bytes, TRecipeSignature& signature, std::string& error);
std::string RecipeSignatureText(const TRecipeSignature& signature);
std::string SignaturePathOf(const std::string& recipePath);

// Signs the recipe's exact bytes with the private key at `keyPath` (refused when anyone but its
// owner may read it) and replaces RECIPE.sig.
bool SignRecipeFile(const std::string& recipePath, const std::string& keyPath, TRecipeSignature& written,
                    std::string& error);

// What a recipe's signature comes to against the keys a station trusts.
struct TSignatureCheck {
    enum class TState { NotSigned, Unreadable, Changed, Untrusted, Trusted } State = TState::NotSigned;
    std::string KeyId;   // a valid signature's key (Untrusted, Trusted), "" otherwise
    std::string Signer;  // Trusted: the trusted key's own name; Untrusted: the signer's claim
    std::string Reason;  // why it is not Trusted, in one line

    bool Valid() const { return State == TState::Untrusted || State == TState::Trusted; }
    // "line-eng (key 0123456789abcdef)", "not signed", ...: for a header or `recipe show`.
    std::string Text() const;
};
// The recipe as ReadRecipe read it: its file is read again and must still be the bytes whose
// digest the recipe carries, and RECIPE.sig must be a signature of those bytes.
TSignatureCheck CheckRecipeSignature(const TRecipe& recipe, const std::vector<TPublicKey>& trusted);
