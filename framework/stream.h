// Byte streams: the abstract stream and the memory stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    // Read and Write return the number of bytes moved.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual std::int64_t Size() const = 0;
    virtual void SetSize(std::int64_t size) = 0;

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    std::int64_t Write(const std::string& bytes) {
        return Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    using TStream::Write;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(FData.size()); }
    void SetSize(std::int64_t size) override;
    void Clear() {
        FData.clear();
        FPosition = 0;
    }

    const char* Memory() const { return FData.data(); }
    // The whole content, whatever the position.
    std::string DataString() const { return std::string(FData.begin(), FData.end()); }

private:
    std::vector<char> FData;
    std::int64_t FPosition = 0;
};
