// The singleton holders of the cache manager (namespace Mem_Manager).
//
// Manger_memory is the holder base with the instance pointer; Static_memory
// builds the instance in static storage on its first Create. The instance is a
// function-local static: its initialisation is serialised by the language, so
// threads that arrive together at the first Create all get one and the same
// object, and its destruction is registered to run when the module unloads.
// The pointer itself is atomic because the accessor reads it without a lock.
#pragma once

#include <atomic>

namespace Mem_Manager {

template <class T>
class Manger_memory {
public:
    virtual ~Manger_memory() = default;
    // Makes the instance available through Instance(); the base has nothing to make.
    virtual void Create() {}
    // Destruction is left to static storage, so there is nothing to do here.
    virtual void Destroy() {}

    T* Instance() const { return m_instance.load(std::memory_order_acquire); }

protected:
    std::atomic<T*> m_instance{nullptr};
};

template <class T>
class Static_memory : public Manger_memory<T> {
public:
    void Create() override {
        static T instance;
        this->m_instance.store(&instance, std::memory_order_release);
    }
};

}  // namespace Mem_Manager
