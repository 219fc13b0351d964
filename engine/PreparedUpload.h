// A firmware file prepared once and held in memory, read-only, for a whole run: the upload every
// unit of every port gets, and what names it in their records, so that the bytes a unit is sent are
// the bytes its record names whatever happens to the files on disk meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "firmware/UploadFile.h"

struct TPreparedUpload {
    TUploadImage Upload;
    std::string InputFile;     // the file the operator (or the recipe) chose, as the engine was given it
    int64_t InputSize = -1;    // bytes read from it
    std::string InputSha256;   // of the bytes read from it, lower-case hex
    std::string UploadSha256;  // of the blocks in the order they go to the unit (UploadBlocksSha256)
};

using TSharedUpload = std::shared_ptr<const TPreparedUpload>;
