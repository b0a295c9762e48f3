// IAtlStringMgr and CStringData: the storage contract of the fixed-capacity
// strings.
//
// A string's characters live in a data block: a CStringData header followed
// immediately by the characters and their terminator. The string keeps only
// a pointer to the characters and steps back from it to reach the header.
// Every block names the manager it came from, and goes back to that manager.
#pragma once

#include "platform/platform.h"

struct IAtlStringMgr;

struct CStringData {
    IAtlStringMgr* pStringMgr;  // the manager the block is returned to
    int nDataLength;            // characters in use, without the terminator
    int nAllocLength;           // characters the block holds, without the terminator
    LONG nRefs;                 // -1: locked, the block belongs to one string only

    void* data() noexcept { return this + 1; }
    bool IsLocked() const noexcept { return nRefs < 0; }
};

// Slot order is part of the contract: a manager may be reached from code
// built apart from this header.
struct IAtlStringMgr {
    // A block for nChars characters of nCharSize bytes, or null.
    virtual CStringData* Allocate(int nChars, int nCharSize) noexcept = 0;
    virtual void Free(CStringData* pData) noexcept = 0;
    // Like realloc: null leaves the old block as it was.
    virtual CStringData* Reallocate(CStringData* pData, int nChars, int nCharSize) noexcept = 0;
    // The manager's empty block.
    virtual CStringData* GetNilString() noexcept = 0;
    // A manager that other strings may use.
    virtual IAtlStringMgr* Clone() noexcept = 0;

protected:
    ~IAtlStringMgr() = default;
};
