// A fake Java VM for unit tests: our own JVMTI, JNI and invocation function
// tables over a small model of classes, methods, objects and threads. Any
// call can be made to fail with any error code, and every text it hands out
// is tracked so that a test can tell whether the agent released it.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

enum class Call {
    GetEnv,
    GetErrorName,
    Deallocate,
    CreateRawMonitor,
    DestroyRawMonitor,
    RawMonitorEnter,
    RawMonitorExit,
    DisposeEnvironment,
    AddCapabilities,
    SetEventCallbacks,
    SetEventNotificationMode,
    GetMethodName,
    GetMethodDeclaringClass,
    GetClassSignature,
    GetArgumentsSize,
    GetLocalObject,
    GetTag,
    SetTag,
    GetObjectClass,
    GetMethodModifiers,
    GetBytecodes,
    GetPotentialCapabilities,
    GetExtensionEvents,
    SetExtensionEventCallback,
    Allocate,
    GetFrameLocation,
    GetConstantPool,
    GetLoadedClasses,
    IsModifiableClass,
    RetransformClasses,
    NewWeakGlobalRef,  // JNI: null
    GetNamedModule,
    GetAllModules,
    RunAgentThread,
    GetSystemProperty,
    NewByteArray,  // JNI: null, an OutOfMemoryError pending
    DefineClass,   // JNI: null, a LinkageError pending
    SetFieldModificationWatch,
    Count
};

enum class MethodKind { Instance, Static, Native };

struct FakeClass {
    std::string signature;
    std::optional<std::string> generic;
    // What GetConstantPool hands out: constant_pool_count, then the entries.
    uint16_t poolCount = 0;
    std::vector<unsigned char> pool;
    // The class file the VM would hand the load hook when it is
    // retransformed; whatever the hook returns replaces it.
    std::vector<unsigned char> classFile;
    bool modifiable = true;
    // RetransformClasses fails for a batch holding this class.
    bool refusesRetransform = false;
    // Its weak references read as null (the class was unloaded).
    bool unloaded = false;
};

struct FakeMethod {
    FakeClass* declaring;
    std::string name;
    std::string signature;
    std::optional<std::string> generic;
    MethodKind kind;
    // What GetBytecodes hands out; by default a body that reads local 0
    // and returns.
    std::vector<unsigned char> bytecode{0x2a, 0xb1};
};

struct FakeObject {
    FakeClass* cls;
    jlong tag = 0;
    // A module's name (empty: an unnamed module), as its field reads.
    std::string moduleName;
    // A byte[]'s elements.
    std::vector<unsigned char> bytes;
};

struct FakeThread {
    FakeObject* slot0 = nullptr;  // null: slot 0 holds no object
    // The caller's frame (depth 1): its method, where it stands, its slot 0.
    jmethodID callerMethod = nullptr;
    jlocation callerLocation = -1;
    FakeObject* callerSlot0 = nullptr;
    // The frame below that (depth 2), likewise.
    jmethodID outerMethod = nullptr;
    jlocation outerLocation = -1;
    FakeObject* outerSlot0 = nullptr;
};

struct FakeMonitor {
    std::string name;
    std::recursive_mutex lock;
    std::condition_variable_any changed;  // RawMonitorWait and RawMonitorNotifyAll
    int entries = 0;
};

class FakeJvm {
public:
    FakeJvm();
    ~FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    jvmtiEnv* jvmti() { return &env_; }
    JNIEnv* jni() { return &jniEnv_; }
    JavaVM* javaVm() { return &javaVm_; }

    // --- the model -------------------------------------------------------
    jclass klass(const std::string& signature, std::optional<std::string> generic = std::nullopt);
    // Argument slots are derived from the signature as the VM does; a native
    // method makes GetArgumentsSize fail.
    jmethodID method(jclass declaring, const std::string& name, const std::string& signature,
                     MethodKind kind = MethodKind::Instance,
                     std::optional<std::string> generic = std::nullopt);
    jobject object(jclass cls);
    // A byte[] holding `bytes`, and what one holds.
    jbyteArray byteArray(const std::vector<unsigned char>& bytes);
    static const std::vector<unsigned char>& bytesOf(jobject array);
    // A thread whose current frame has `receiver` in local slot 0 (or no
    // object there when null).
    jthread thread(jobject receiver = nullptr);
    void setReceiver(jthread thread, jobject receiver);
    // The frame below the current one: `method` standing at `location`.
    void setCaller(jthread thread, jmethodID method, jlocation location,
                   jobject receiver = nullptr);
    // The caller's caller (depth 2).
    void setOuterCaller(jthread thread, jmethodID method, jlocation location,
                        jobject receiver = nullptr);
    // The thread a null jthread means on the calling thread (the hook asks
    // about its own thread).
    static void setCurrentThread(jthread thread);
    static jthread currentThread();
    // What GetConstantPool gives for the class: `count` and the entries.
    void setConstantPool(jclass cls, uint16_t count, std::vector<unsigned char> entries);
    FakeClass& classOf(jclass cls) { return *reinterpret_cast<FakeClass*>(cls); }
    bool isUnloadedClass(jobject object) const;

    // The method's body as GetBytecodes gives it.
    void setBytecode(jmethodID method, std::vector<unsigned char> code);
    // The identifier of an unloaded method handed out again for another
    // method, as the VM may do.
    void reuseMethodId(jmethodID method, jclass declaring, const std::string& name,
                       const std::string& signature, MethodKind kind = MethodKind::Instance);
    // Whether GetExtensionEvents offers the class-unload event (it does by
    // default, as HotSpot does), and posting it.
    bool offersClassUnload = true;
    jvmtiExtensionEvent classUnloadCallback = nullptr;
    void unloadClasses();

    // The class-loading side: the named module of each package that has
    // one (for any loader), what GetLoadedClasses lists, and the classes
    // each call of RetransformClasses was given.
    std::map<std::string, jobject> packageModules;
    std::vector<jclass> loadedClasses;
    std::vector<std::vector<jclass>> retransformBatches;
    // Modules: a new module object (unnamed for an empty name), what
    // GetAllModules lists, and each module handed to the static method
    // `transformedByAgent` of the class whose signature is
    // `moduleHelperClass` (made to throw by `transformedByAgentThrows`).
    jobject module(const std::string& name);
    std::vector<jobject> modules;
    std::string moduleHelperClass = "Ljdk/internal/module/Modules;";
    std::vector<jobject> transformedByAgent;
    bool transformedByAgentThrows = false;
    // What GetSystemProperty finds (nothing else is there).
    std::map<std::string, std::string> systemProperties{
        {"java.vm.version", "17.0.15+6"}, {"java.vm.name", "OpenJDK 64-Bit Server VM"}};
    // Threads started with RunAgentThread: each a thread of its own, joined
    // when the fake ends (the agent must have let it end by then).
    int agentThreadsRun = 0;
    std::vector<std::thread> agentThreads;
    // Weak references made and not yet deleted.
    int liveWeakReferences = 0;
    // Classes defined through JNI, by name, with their bytes; the threads
    // that asked for a static field (which initializes its class); the
    // values stored in static fields through JNI; the watched fields'
    // classes.
    std::vector<std::pair<std::string, std::vector<unsigned char>>> definedClasses;
    std::vector<std::thread::id> staticFieldLookups;
    std::vector<jobject> staticStores;
    std::vector<jclass> watchedFieldClasses;

    jlong tagOf(jobject object) const;
    void setTag(jobject object, jlong tag);

    // --- failures ----------------------------------------------------------
    // Every later call of `call` returns `error` (GetObjectClass returns null).
    void fail(Call call, jvmtiError error);
    // Only the next call of `call` fails.
    void failOnce(Call call, jvmtiError error);
    void succeed(Call call);
    // Names known to GetErrorName; a code without a name makes it fail.
    void setErrorName(jvmtiError error, const std::string& name);
    void forgetErrorName(jvmtiError error);

    // --- what the agent did ----------------------------------------------
    int calls(Call call) const;
    // Every call in the order made.
    std::vector<Call> callLog() const;
    int totalCalls() const;
    // Texts handed out and not yet released with Deallocate.
    int outstandingTexts() const;
    // Deallocate calls with a pointer the fake never handed out.
    int badDeallocations() const;
    // Monitors created by name, and how deep each is entered now.
    const std::vector<std::unique_ptr<FakeMonitor>>& monitors() const { return monitors_; }
    int monitorDepth(jrawMonitorID monitor) const;
    bool monitorDestroyed(jrawMonitorID monitor) const;

    // The first set asked for (what the agent needs), and any asked for
    // after it (what it can do without).
    std::optional<jvmtiCapabilities> capabilities;
    std::vector<jvmtiCapabilities> laterCapabilities;
    std::vector<unsigned char> callbackTable;  // bytes handed to SetEventCallbacks
    jint callbackTableSize = -1;
    std::vector<std::pair<jvmtiEventMode, jvmtiEvent>> eventModes;
    bool disposed = false;

    // The fake reached from the static function tables.
    static FakeJvm& current();

    // Used by the function tables.
    std::optional<jvmtiError> failure(Call call);
    char* text(const std::string& value);
    // Memory handed out like a text, to be released with Deallocate.
    void* memory(std::size_t size);
    bool releaseText(unsigned char* text);
    FakeMonitor* createMonitor(const char* name);
    std::set<FakeMonitor*> destroyedMonitors;
    std::map<jvmtiError, std::string> errorNames;
    static jint argumentSlots(const FakeMethod& method);

private:
    jvmtiEnv env_;
    JNIEnv jniEnv_;
    JavaVM javaVm_;
    std::vector<std::unique_ptr<FakeClass>> classes_;
    std::vector<std::unique_ptr<FakeMethod>> methods_;
    std::vector<std::unique_ptr<FakeObject>> objects_;
    std::vector<std::unique_ptr<FakeThread>> threads_;
    std::vector<std::unique_ptr<FakeMonitor>> monitors_;
    std::map<Call, jvmtiError> failures_;
    std::map<Call, jvmtiError> onceFailures_;
    int counts_[static_cast<int>(Call::Count)] = {};
    std::vector<Call> callLog_;
    std::set<char*> texts_;
    int badDeallocations_ = 0;
    mutable std::recursive_mutex lock_;
};
