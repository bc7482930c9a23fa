// Linked into every program of a ThreadSanitizer build, and only there.
//
// Qt from the distribution is built without ThreadSanitizer: the ordering its event queues and
// thread pool guarantee between the thread that hands work over and the thread that runs it is
// invisible, so every hand-off through them would be reported as a race. These definitions take
// the place of the two Qt entry points our code hands work over with, tell ThreadSanitizer about
// that ordering (the hand-off releases a token that the work acquires before it runs; a blocking
// call acquires what the work released) and call Qt's own.
#include <QObject>
#include <QThreadPool>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

namespace {

template <typename Function> Function qtOwn(const char* symbol) {
    void* address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "ThreadSanitizer build: Qt has no %s (%s); rebuild against this Qt\n",
                     symbol, dlerror());
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

// Its address is what ThreadSanitizer synchronises on; shared so that it outlives the work.
using Token = std::shared_ptr<char>;

class HandedOver : public QtPrivate::QSlotObjectBase {
public:
    HandedOver(QtPrivate::QSlotObjectBase* work, Token token)
        : QSlotObjectBase(&impl), m_work(work), m_token(std::move(token)) {}

private:
    static void impl(int which, QSlotObjectBase* self, QObject* receiver, void** args, bool* ret) {
        // Keyed on the object's address: its fields are only safe to read after this.
        __tsan_acquire(self);
        auto* me = static_cast<HandedOver*>(self);
        switch (which) {
        case Destroy:
            me->m_work->destroyIfLastRef();
            delete me;
            break;
        case Call: {
            // The argument array (only the result's slot: these calls take no arguments) lies in
            // Qt's event, made after the hand-off was released; read it as Qt does.
            __tsan_ignore_thread_begin();
            void* result = args[0];
            __tsan_ignore_thread_end();
            void* ours[] = {result};
            me->m_work->call(receiver, ours);
            __tsan_release(me->m_token.get());
            __tsan_release(self);
            break;
        }
        case Compare:
            *ret = me->m_work->compare(args);
            break;
        }
    }

    QtPrivate::QSlotObjectBase* m_work;
    Token m_token;
};

} // namespace

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot,
                                   Qt::ConnectionType type, void* ret) {
    using Own = bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*);
    static const Own own = qtOwn<Own>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14"
        "ConnectionTypeEPv");
    Token token = std::make_shared<char>();
    auto* handedOver = new HandedOver(slot, token);
    __tsan_release(handedOver);
    const bool done = own(object, handedOver, type, ret);
    if (type == Qt::BlockingQueuedConnection)
        __tsan_acquire(token.get());
    return done;
}

namespace {

// The work, stored by std::function on the heap where it stays however often Qt moves it: its
// address is the token.
struct PoolWork {
    std::function<void()> function;
    void operator()() {
        __tsan_acquire(this);
        function();
    }
};

} // namespace

void QThreadPool::start(std::function<void()> functionToRun, int priority) {
    using Own = void (*)(QThreadPool*, std::function<void()>, int);
    static const Own own = qtOwn<Own>("_ZN11QThreadPool5startESt8functionIFvvEEi");
    std::function<void()> work = PoolWork{std::move(functionToRun)};
    __tsan_release(work.target<PoolWork>());
    own(this, std::move(work), priority);
}
