// The bytes a line-mode socket holds while it waits for a line terminator,
// with the terminal-style editing it can apply to what arrives. Nothing here
// touches the network: the socket reads into Reserve()'s room, reports what
// arrived with Added() and asks for lines with Find().
#pragma once

#include <string>
#include <vector>

class TLineBuffer {
public:
    int Len() const { return FLen; }
    const char* Data() const { return FData.data() + FStart; }
    bool Empty() const { return FLen == 0; }

    // Makes room for `n` more bytes and a terminating 0 and returns where
    // they go. Throws std::bad_alloc when the memory cannot be had.
    char* Reserve(int n);
    // Records `n` bytes written at Reserve()'s room.
    void Added(int n);
    // Records `n` bytes written at Reserve()'s room as a read that arrived,
    // edited when `edit` is set (see Edit), and returns where the search for
    // the next terminator must begin: early enough to find one split between
    // the held bytes and these, or one that editing formed. -1 when memory
    // ran out while editing.
    int Arrived(int n, const std::string& lineEnd, bool edit, std::string& echo);
    // Appends bytes (after Reserve).
    void Append(const char* data, int n);

    // Applies line editing to the bytes from `from` to the end: a backspace
    // takes back the character before it (never one of an earlier line), a
    // tab becomes blanks up to the next multiple of 8 columns. What a
    // terminal should show is appended to `echo`: backspace, blank,
    // backspace for a character taken back, the blanks of a tab and every
    // other byte as it is. `rewrittenFrom` tells where the bytes may have
    // changed (the start of the current line). Returns false when memory ran
    // out (nothing lost: the bytes stay unedited).
    bool Edit(int from, const std::string& lineEnd, std::string& echo, int& rewrittenFrom);

    // Position of the first `lineEnd` starting at or after `from`, -1 if none.
    int Find(const std::string& lineEnd, int from) const;
    // Copies up to `size` bytes from the front and removes them.
    int Take(char* out, int size);
    // Removes `n` bytes from the front.
    void Remove(int n);
    // Forgets what is held and gives the memory back.
    void Free();

private:
    std::vector<char> FData;
    int FStart = 0; // the held bytes begin here
    int FLen = 0;
};
