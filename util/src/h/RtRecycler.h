// Keeps spent objects of one type for reuse instead of freeing them. Meant
// for what crosses threads once per request (the events that carry a
// request to the user thread and its answer back): it is made on one
// thread and done with on another, so a per-thread free list alone would
// fill up on one side and run dry on the other.
//
// A spent object goes onto one shared stack from whatever thread is done
// with it. A thread that needs one takes it from its own cache and refills
// an empty cache with the whole stack at once; since nobody ever pops a
// single node off the shared stack, a node cannot be popped, reused and
// pushed back under a reader's feet (no ABA), and no tags are needed.
// At most kMaxKept objects are kept in all; more are deleted.
#pragma once

#include <atomic>
#include <cstddef>

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
        Cache& cache = LocalCache();
        if (!cache.m_pHead) {
            // Acquire: the nodes' links and contents were written before
            // their release onto the stack.
            cache.m_pHead = Shared().exchange(nullptr, std::memory_order_acquire);
        }
        CRtRecyclable* node = cache.m_pHead;
        if (!node)
            return nullptr;
        cache.m_pHead = node->m_pNextSpent;
        node->m_pNextSpent = nullptr;
        Kept().fetch_sub(1, std::memory_order_relaxed);
        return static_cast<T*>(node);
    }

    // Keeps aObject (already reset by its owner) or deletes it when enough
    // are kept. Any thread.
    static void Give(T* aObject) {
        if (Kept().fetch_add(1, std::memory_order_relaxed) >= kMaxKept) {
            Kept().fetch_sub(1, std::memory_order_relaxed);
            delete aObject;
            return;
        }
        CRtRecyclable* node = aObject;
        CRtRecyclable* head = Shared().load(std::memory_order_relaxed);
        do {
            node->m_pNextSpent = head;
            // Release: whoever takes the stack sees the node as written.
        } while (!Shared().compare_exchange_weak(head, node, std::memory_order_release, std::memory_order_relaxed));
    }

    // Objects kept now, in the shared stack and every thread's cache.
    static size_t GetKeptCount() { return Kept().load(std::memory_order_relaxed); }

private:
    struct Cache {
        CRtRecyclable* m_pHead = nullptr;
        // A thread that ends frees what it took and did not use.
        ~Cache() {
            while (m_pHead) {
                CRtRecyclable* next = m_pHead->m_pNextSpent;
                delete static_cast<T*>(m_pHead);
                Kept().fetch_sub(1, std::memory_order_relaxed);
                m_pHead = next;
            }
        }
    };

    static Cache& LocalCache() {
        thread_local Cache t_cache;
        return t_cache;
    }
    // Never destroyed: threads may still give objects back during exit.
    // What it holds at exit stays reachable from here.
    static std::atomic<CRtRecyclable*>& Shared() {
        static auto* s_head = new std::atomic<CRtRecyclable*>(nullptr);
        return *s_head;
    }
    static std::atomic<size_t>& Kept() {
        static auto* s_kept = new std::atomic<size_t>(0);
        return *s_kept;
    }
};
