// Keeps spent objects of one type for reuse instead of freeing them. Meant
// for what crosses threads once per request (the events that carry a
// request to the user thread and its answer back): it is made on one
// thread and done with on another, so a per-thread free list would fill up
// on one side and run dry on the other. One short lock guards the list:
// taking and giving are a few pointer moves, far cheaper than the
// allocator's cross-thread free, and need no per-thread state (whose
// clean-up at exit can deadlock on Windows while other threads run).
// At most kMaxKept objects are kept; more are deleted.
#pragma once

#include <cstddef>
#include <mutex>

// The link a recyclable type carries (T derives from it).
class CRtRecyclable {
public:
    CRtRecyclable* m_pNextSpent = nullptr;
};

template <class T, size_t kMaxKept = 256>
class CRtRecycler {
public:
    // A kept object, or null when there is none (the caller makes one).
    static T* Take() {
        List& list = Kept();
        std::lock_guard<std::mutex> guard(list.m_Mutex);
        CRtRecyclable* node = list.m_pHead;
        if (!node)
            return nullptr;
        list.m_pHead = node->m_pNextSpent;
        --list.m_nCount;
        node->m_pNextSpent = nullptr;
        return static_cast<T*>(node);
    }

    // Keeps aObject (already reset by its owner) or deletes it when enough
    // are kept. Any thread.
    static void Give(T* aObject) {
        List& list = Kept();
        {
            std::lock_guard<std::mutex> guard(list.m_Mutex);
            if (list.m_nCount < kMaxKept) {
                aObject->m_pNextSpent = list.m_pHead;
                list.m_pHead = aObject;
                ++list.m_nCount;
                return;
            }
        }
        delete aObject;
    }

    static size_t GetKeptCount() {
        List& list = Kept();
        std::lock_guard<std::mutex> guard(list.m_Mutex);
        return list.m_nCount;
    }

private:
    struct List {
        std::mutex m_Mutex;
        CRtRecyclable* m_pHead = nullptr;
        size_t m_nCount = 0;
    };
    // Never destroyed: threads may still give objects back during exit;
    // what it holds then stays reachable from here.
    static List& Kept() {
        static List* s_list = new List;
        return *s_list;
    }
};
