#pragma once
// An intrusive node of a circular doubly linked list with a sentinel. The
// owner of the list decides which thread may touch it; the node itself has no
// lock. A node still linked when it is destroyed takes itself out of its list.

template <typename T>
class LinkNode {
 public:
  LinkNode() = default;
  LinkNode(const LinkNode&) = delete;
  LinkNode& operator=(const LinkNode&) = delete;
  ~LinkNode() { RemoveFromList(); }

  // Turns this node into an empty list's sentinel (it points at itself).
  void InitAsSentinel() { m_pPrev = m_pNext = this; }

  // Links this node in front of |next| (for a sentinel: at the list's tail).
  void InsertBefore(LinkNode* next) {
    m_pNext = next;
    m_pPrev = next->m_pPrev;
    m_pPrev->m_pNext = this;
    next->m_pPrev = this;
  }

  // Joins the neighbours and clears both pointers; a no-op when unlinked.
  void RemoveFromList() {
    if (m_pNext == nullptr || m_pNext == this) return;
    m_pPrev->m_pNext = m_pNext;
    m_pNext->m_pPrev = m_pPrev;
    m_pPrev = m_pNext = nullptr;
  }

  bool IsLinked() const { return m_pNext != nullptr && m_pNext != this; }
  LinkNode* previous() const { return m_pPrev; }
  LinkNode* next() const { return m_pNext; }
  T* value() { return static_cast<T*>(this); }

 private:
  LinkNode* m_pPrev = nullptr;
  LinkNode* m_pNext = nullptr;
};
