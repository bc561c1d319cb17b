// Drives a message block chain with random operations and checks it after
// every step against a plain string of its readable bytes. Shared by the
// property test (seeded generator) and the fuzz target (input bytes).
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RtMessageBlock.h"

namespace rttest {

class MessageBlockOps {
public:
    // aNext(bound) returns a value in [0, bound).
    explicit MessageBlockOps(std::function<unsigned long(unsigned long)> aNext) : m_Next(std::move(aNext)) {}
    ~MessageBlockOps() {
        if (m_pHead)
            m_pHead->DestroyChained();
    }

    // Runs one operation; returns what went wrong, or an empty string.
    std::string Step() {
        std::string err = Run(m_Next(12));
        if (!err.empty())
            return err;
        unsigned long len = m_pHead ? m_pHead->GetChainedLength() : 0;
        if (len != m_Model.size())
            return "length " + std::to_string(len) + " != model " + std::to_string(m_Model.size());
        if (m_pHead && m_pHead->FlattenChained() != m_Model)
            return "content differs from the model";
        return std::string();
    }

private:
    unsigned long Pick(unsigned long aBound) { return m_Next(aBound); }

    std::string Bytes(unsigned long aCount) {
        std::string s(aCount, '\0');
        for (auto& c : s)
            c = static_cast<char>('a' + Pick(26));
        return s;
    }

    void Link(CRtMessageBlock* aMb) {
        if (m_pHead)
            m_pHead->Append(aMb);
        else
            m_pHead = aMb;
    }

    // A chain-owned block with aSize bytes of room.
    static CRtMessageBlock* NewOwned(unsigned long aSize) {
        CRtMessageBlock maker(aSize);
        return maker.DuplicateTopLevel();
    }

    CRtMessageBlock* Last() {
        CRtMessageBlock* p = m_pHead;
        while (p && p->GetNext())
            p = p->GetNext();
        return p;
    }

    std::string Run(unsigned long aOp) {
        const unsigned long len = m_Model.size();
        switch (aOp) {
        case 0: {  // a block over its own data, part of it already consumed
            std::string data = Bytes(Pick(48));
            unsigned long skip = data.empty() ? 0 : Pick(static_cast<unsigned long>(data.size()) + 1);
            auto made = std::make_unique<CRtMessageBlock>(static_cast<unsigned long>(data.size()) + Pick(16));
            made->Write(data.data(), static_cast<unsigned long>(data.size()));
            made->AdvanceTopLevelReadPtr(skip);
            m_Model += data.substr(skip);
            if (Pick(2)) {
                Link(made->DuplicateTopLevel());
            } else {
                Link(made.get());
                m_Made.push_back(std::move(made));
            }
            return {};
        }
        case 1: {  // a view of caller memory, linked as is or as a copy
            std::string data = Bytes(1 + Pick(40));
            auto n = static_cast<unsigned long>(data.size());
            m_Memory.emplace_back(new char[n]);
            char* mem = m_Memory.back().get();
            memcpy(mem, data.data(), n);
            auto view = std::make_unique<CRtMessageBlock>(n, mem, CRtMessageBlock::DONT_DELETE, n);
            m_Model += data;
            if (Pick(2)) {
                Link(view->DuplicateTopLevel());
                memset(mem, '#', n);  // the copy must not see this
            } else {
                Link(view.get());
                m_Made.push_back(std::move(view));
            }
            return {};
        }
        case 2: {  // scatter receive into fresh blocks
            CRtMessageBlock* rx = NewOwned(1 + Pick(16));
            rx->Append(NewOwned(1 + Pick(16)));
            std::string data = Bytes(Pick(rx->GetChainedSpace() + 1));
            unsigned long first = rx->GetTopLevelSpace() < data.size() ? rx->GetTopLevelSpace() : data.size();
            memcpy(rx->GetTopLevelWritePtr(), data.data(), first);
            memcpy(rx->GetNext()->GetTopLevelWritePtr(), data.data() + first, data.size() - first);
            unsigned long done = 0;
            if (rx->AdvanceChainedWritePtr(static_cast<unsigned long>(data.size()), &done) != RT_OK ||
                done != data.size())
                return "AdvanceChainedWritePtr";
            Link(rx);
            m_Model += data;
            return {};
        }
        case 3:
        case 4: {  // read or look, possibly past the end
            unsigned long count = Pick(len + 8);
            bool advance = aOp == 3 && Pick(2);
            std::string got(count + 1, '\0');
            unsigned long n = 9999;
            RtResult rv = m_pHead ? m_pHead->Read(&got[0], count, &n, advance) : RT_ERROR_PARTIAL_DATA;
            unsigned long expect = count < len ? count : len;
            if (!m_pHead)
                return {};
            if (rv != (count <= len ? RT_OK : RT_ERROR_PARTIAL_DATA) || n != expect ||
                got.compare(0, n, m_Model, 0, n) != 0 || got[n] != '\0')
                return "Read " + std::to_string(count) + " of " + std::to_string(len);
            if (advance)
                m_Model.erase(0, n);
            return {};
        }
        case 5: {
            if (!m_pHead)
                return {};
            unsigned long pos = Pick(len + 4), count = Pick(len + 8);
            std::string got(count + 1, '\0');
            unsigned long n = 9999;
            RtResult rv = m_pHead->Peek(&got[0], count, pos, &n);
            if (pos >= len)
                return rv == RT_ERROR_PARTIAL_DATA && n == 9999 ? "" : "Peek beyond the data";
            unsigned long expect = count < len - pos ? count : len - pos;
            if (rv != (count <= len - pos ? RT_OK : RT_ERROR_PARTIAL_DATA) || n != expect ||
                got.compare(0, n, m_Model, pos, n) != 0 || got[n] != '\0')
                return "Peek " + std::to_string(count) + " at " + std::to_string(pos);
            return {};
        }
        case 6: {
            if (!m_pHead)
                return {};
            unsigned long count = Pick(len + 4), n = 0;
            RtResult rv = m_pHead->AdvanceChainedReadPtr(count, &n);
            if (rv != (count <= len ? RT_OK : RT_ERROR_PARTIAL_DATA) || (count && n != (count < len ? count : len)))
                return "AdvanceChainedReadPtr";
            m_Model.erase(0, count);
            return {};
        }
        case 7: {  // a duplicate is independent of the original
            if (!m_pHead)
                return {};
            CRtMessageBlock* dup = m_pHead->DuplicateChained();
            bool same = dup && *dup == *m_pHead;
            if (dup) {
                dup->AdvanceChainedReadPtr(Pick(len + 1));
                dup->DestroyChained();
            }
            return same ? "" : "DuplicateChained";
        }
        case 8: {
            if (!m_pHead)
                return {};
            unsigned long at = Pick(len + 2);
            CRtMessageBlock* tail = m_pHead->Disjoint(at);
            if (at >= len)
                return tail ? "Disjoint at or past the end gave a tail" : "";
            if (!tail || tail->FlattenChained() != m_Model.substr(at) ||
                m_pHead->FlattenChained() != m_Model.substr(0, at))
                return "Disjoint at " + std::to_string(at);
            for (CRtMessageBlock* p = tail; p; p = p->GetNext())
                if (RT_BIT_DISABLED(p->GetFlag(), CRtMessageBlock::DUPLICATED))
                    return "Disjoint tail holds a block it does not own";
            if (Pick(2)) {
                m_pHead->Append(tail);
            } else {
                tail->DestroyChained();
                m_Model.resize(at);
            }
            return {};
        }
        case 9: {
            if (!m_pHead)
                return {};
            iovec iov[8];
            unsigned long max = Pick(8) + 1, filled = 0;
            const CRtMessageBlock* rest = nullptr;
            unsigned long count = m_pHead->FillIov(iov, max, filled, rest);
            std::string gathered;
            for (unsigned long i = 0; i < count; ++i) {
                if (rtos::IoVecLength(iov[i]) == 0)
                    return "FillIov gave an empty entry";
                gathered.append(static_cast<const char*>(rtos::IoVecBase(iov[i])), rtos::IoVecLength(iov[i]));
            }
            if (count > max || filled != gathered.size() || (count < max && rest) ||
                gathered + (rest ? std::string(rest->FlattenChained()) : std::string()) != m_Model)
                return "FillIov";
            return {};
        }
        case 10: {
            if (!m_pHead)
                return {};
            m_pHead = m_pHead->ReclaimGarbage();
            if (!m_pHead != m_Model.empty() || (m_pHead && m_pHead->GetTopLevelLength() == 0))
                return "ReclaimGarbage";
            return {};
        }
        default: {  // write into the last block's room, or look and rewind
            CRtMessageBlock* last = Last();
            if (!last)
                return {};
            if (Pick(2)) {
                unsigned long room = last->GetTopLevelSpace(), n = 0;
                std::string data = Bytes(Pick(room + 4));
                RtResult rv = last->Write(data.data(), static_cast<unsigned long>(data.size()), &n);
                if (rv != (data.size() <= room ? RT_OK : RT_ERROR_PARTIAL_DATA) ||
                    n != (data.size() < room ? data.size() : room))
                    return "Write";
                m_Model += data.substr(0, n);
            } else {
                m_pHead->SaveChainedReadPtr();
                m_pHead->AdvanceChainedReadPtr(Pick(len + 1));
                m_pHead->RewindChained(true);
            }
            return {};
        }
        }
    }

    std::function<unsigned long(unsigned long)> m_Next;
    CRtMessageBlock* m_pHead = nullptr;
    std::string m_Model;
    // Blocks the harness made; chain operations never free them. Declared
    // after the memory they may view, so they go first.
    std::vector<std::unique_ptr<char[]>> m_Memory;
    std::vector<std::unique_ptr<CRtMessageBlock>> m_Made;
};

}  // namespace rttest
