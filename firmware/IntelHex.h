// Intel HEX records into a 0xFF-filled binary image of the unit's flash.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "firmware/BinaryImage.h"
#include "firmware/FileIo.h"

constexpr int MainImageChunks = 32768;   // 4 MiB, Software Upload
constexpr int FactoryImageChunks = 512;  // 64 KiB, Factory Bootstrap Upload

// Reader state shared with the factory path and the bootstrap records.
class THexReader {
public:
    std::string SegmentBase;   // last type 02 base, 4 digits ("" = 0)
    std::string LinearBase;    // last type 04 base, 4 digits ("" = 0)
    bool LastLineSent = false; // an end-of-file record was met

    // Reads records from `nextLine` (returns false at end of input) into `image`, starting from
    // bases 0, until an end-of-file record is met. `fileName` is used in error messages only.
    // Throws EConvertError naming the file and the line on bad hexadecimal digits, a record
    // shorter than its count or a wrong record checksum, and naming the file when the input ends
    // without an end-of-file record (a file cut short). When no line up to the first error starts
    // with ':', it throws instead that the file is not an Intel HEX file, naming it. The image stays in memory: the caller
    // writes it with image.Flush() once this has returned.
    void HexToBinary(const std::function<bool(std::string& line)>& nextLine, TBinaryImage& image,
                     const std::string& fileName = {});
    // Same, reading the text file `fileName` (lines end in CR, LF or CR LF); throws EInOutError
    // when it cannot be read, is not a regular file or is over FileIo::MaxInputFileSize.
    void HexToBinaryFile(const std::string& fileName, TBinaryImage& image, FileIo::TInputDigest* digest = nullptr);
    // One data record into the image at linear*65536 + segment*16 + offset, whatever its type digit
    // (so its checksum is not held against it). Data at or past the image end is dropped.
    void WriteDataRecord(const std::string& line, TBinaryImage& image);

private:
    // Acts on one line; false once an end-of-file record has been met.
    bool ProcessLine(const char* text, size_t length, TBinaryImage& image, const std::string& fileName,
                     long lineNumber, bool checkSum);
    void Reset();
    void RefuseIfIncomplete(const std::string& fileName) const;
    // Notes whether a line held anything, and whether it began as a record does.
    void NoteLine(const char* text, size_t length);
    // Throws "not an Intel HEX file" when text has been read but no line so far starts with ':'.
    void RefuseIfNotHex(const std::string& fileName, long lineNumber) const;

    // The bases' values, kept beside their texts so that a data record need not parse them again.
    uint64_t segmentValue_ = 0;
    uint64_t linearValue_ = 0;
    bool sawRecord_ = false;  // a line starting with ':' has been read
    bool sawText_ = false;    // a line that is not empty has been read
};
