// A recipe's signature file of any bytes: refused with a reason, or read into a signature whose
// parts have their fixed sizes and whose key id is its key's, and that reads back the same once
// written.
#include <cstdint>
#include <string>

#include "driver/RecipeSignature.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TRecipeSignature signature;
    std::string error;
    if (!ParseRecipeSignature(bytes, signature, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(signature.PublicKey.size() == 32 && signature.Signature.size() == 64 && !signature.Signer.empty());
    FUZZ_CHECK(signature.KeyId == KeyIdOf(signature.PublicKey));
    TRecipeSignature again;
    FUZZ_CHECK(ParseRecipeSignature(RecipeSignatureText(signature), again, error));
    FUZZ_CHECK(again.KeyId == signature.KeyId && again.Signer == signature.Signer &&
               again.PublicKey == signature.PublicKey && again.Signature == signature.Signature);
    return 0;
}
