#include "tests/FakeJvmti.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <stdexcept>

namespace {

FakeJvm* currentFake = nullptr;

// Each fake call counts itself, then returns the failure configured for it.
#define FAKE_ENTER(call)                                                 \
    FakeJvm& vm = FakeJvm::current();                                    \
    if (std::optional<jvmtiError> failed = vm.failure(Call::call)) {     \
        return *failed;                                                  \
    }

jvmtiError JNICALL fakeGetErrorName(jvmtiEnv*, jvmtiError error, char** name) {
    FAKE_ENTER(GetErrorName)
    auto found = vm.errorNames.find(error);
    if (found == vm.errorNames.end()) return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    *name = vm.text(found->second);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeDeallocate(jvmtiEnv*, unsigned char* memory) {
    FAKE_ENTER(Deallocate)
    if (memory != nullptr && !vm.releaseText(memory)) return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeCreateRawMonitor(jvmtiEnv*, const char* name, jrawMonitorID* monitor) {
    FAKE_ENTER(CreateRawMonitor)
    *monitor = reinterpret_cast<jrawMonitorID>(vm.createMonitor(name));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeDestroyRawMonitor(jvmtiEnv*, jrawMonitorID monitor) {
    FAKE_ENTER(DestroyRawMonitor)
    if (monitor == nullptr) return JVMTI_ERROR_INVALID_MONITOR;
    vm.destroyedMonitors.insert(reinterpret_cast<FakeMonitor*>(monitor));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeRawMonitorEnter(jvmtiEnv*, jrawMonitorID monitor) {
    FAKE_ENTER(RawMonitorEnter)
    if (monitor == nullptr) return JVMTI_ERROR_INVALID_MONITOR;
    auto* fake = reinterpret_cast<FakeMonitor*>(monitor);
    fake->lock.lock();
    ++fake->entries;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeRawMonitorExit(jvmtiEnv*, jrawMonitorID monitor) {
    FAKE_ENTER(RawMonitorExit)
    if (monitor == nullptr) return JVMTI_ERROR_INVALID_MONITOR;
    auto* fake = reinterpret_cast<FakeMonitor*>(monitor);
    if (fake->entries == 0) return JVMTI_ERROR_NOT_MONITOR_OWNER;
    --fake->entries;
    fake->lock.unlock();
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeDisposeEnvironment(jvmtiEnv*) {
    FAKE_ENTER(DisposeEnvironment)
    vm.disposed = true;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeAddCapabilities(jvmtiEnv*, const jvmtiCapabilities* capabilities) {
    FAKE_ENTER(AddCapabilities)
    if (!vm.capabilities) {
        vm.capabilities = *capabilities;
    } else {
        vm.laterCapabilities.push_back(*capabilities);
    }
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetEventCallbacks(jvmtiEnv*, const jvmtiEventCallbacks* callbacks,
                                         jint size) {
    FAKE_ENTER(SetEventCallbacks)
    vm.callbackTableSize = size;
    const auto* bytes = reinterpret_cast<const unsigned char*>(callbacks);
    vm.callbackTable.assign(bytes, bytes + size);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetEventNotificationMode(jvmtiEnv*, jvmtiEventMode mode, jvmtiEvent event,
                                                jthread, ...) {
    FAKE_ENTER(SetEventNotificationMode)
    vm.eventModes.emplace_back(mode, event);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetMethodName(jvmtiEnv*, jmethodID method, char** name, char** signature,
                                     char** generic) {
    FAKE_ENTER(GetMethodName)
    const auto* fake = reinterpret_cast<const FakeMethod*>(method);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_METHODID;
    if (name != nullptr) *name = vm.text(fake->name);
    if (signature != nullptr) *signature = vm.text(fake->signature);
    if (generic != nullptr && fake->generic) *generic = vm.text(*fake->generic);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetMethodDeclaringClass(jvmtiEnv*, jmethodID method, jclass* declaring) {
    FAKE_ENTER(GetMethodDeclaringClass)
    const auto* fake = reinterpret_cast<const FakeMethod*>(method);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_METHODID;
    *declaring = reinterpret_cast<jclass>(fake->declaring);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetClassSignature(jvmtiEnv*, jclass cls, char** signature,
                                         char** generic) {
    FAKE_ENTER(GetClassSignature)
    const auto* fake = reinterpret_cast<const FakeClass*>(cls);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_CLASS;
    if (signature != nullptr) *signature = vm.text(fake->signature);
    if (generic != nullptr && fake->generic) *generic = vm.text(*fake->generic);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetArgumentsSize(jvmtiEnv*, jmethodID method, jint* size) {
    FAKE_ENTER(GetArgumentsSize)
    const auto* fake = reinterpret_cast<const FakeMethod*>(method);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_METHODID;
    if (fake->kind == MethodKind::Native) return JVMTI_ERROR_NATIVE_METHOD;
    *size = FakeJvm::argumentSlots(*fake);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetLocalObject(jvmtiEnv*, jthread thread, jint depth, jint slot,
                                      jobject* value) {
    FAKE_ENTER(GetLocalObject)
    if (thread == nullptr) thread = FakeJvm::currentThread();
    const auto* fake = reinterpret_cast<const FakeThread*>(thread);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_THREAD;
    if (depth < 0 || depth > 2 || slot != 0) return JVMTI_ERROR_INVALID_SLOT;
    FakeObject* object = depth == 0 ? fake->slot0 : depth == 1 ? fake->callerSlot0 : fake->outerSlot0;
    if (object == nullptr) return JVMTI_ERROR_TYPE_MISMATCH;
    *value = reinterpret_cast<jobject>(object);
    return JVMTI_ERROR_NONE;
}

// Knows the caller's frame (depth 1) and its caller's (depth 2) only.
jvmtiError JNICALL fakeGetFrameLocation(jvmtiEnv*, jthread thread, jint depth, jmethodID* method,
                                        jlocation* location) {
    FAKE_ENTER(GetFrameLocation)
    if (thread == nullptr) thread = FakeJvm::currentThread();
    const auto* fake = reinterpret_cast<const FakeThread*>(thread);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_THREAD;
    jmethodID known = depth == 1 ? fake->callerMethod : depth == 2 ? fake->outerMethod : nullptr;
    if (known == nullptr) return JVMTI_ERROR_NO_MORE_FRAMES;
    *method = known;
    *location = depth == 1 ? fake->callerLocation : fake->outerLocation;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetTag(jvmtiEnv*, jobject object, jlong* tag) {
    FAKE_ENTER(GetTag)
    if (object == nullptr) return JVMTI_ERROR_INVALID_OBJECT;
    *tag = vm.tagOf(object);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetTag(jvmtiEnv*, jobject object, jlong tag) {
    FAKE_ENTER(SetTag)
    if (object == nullptr) return JVMTI_ERROR_INVALID_OBJECT;
    vm.setTag(object, tag);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetMethodModifiers(jvmtiEnv*, jmethodID method, jint* modifiers) {
    FAKE_ENTER(GetMethodModifiers)
    const auto* fake = reinterpret_cast<const FakeMethod*>(method);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_METHODID;
    *modifiers = 0x0001;  // public
    if (fake->kind == MethodKind::Static) *modifiers |= 0x0008;
    if (fake->kind == MethodKind::Native) *modifiers |= 0x0100;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetBytecodes(jvmtiEnv*, jmethodID method, jint* count,
                                    unsigned char** bytecodes) {
    FAKE_ENTER(GetBytecodes)
    const auto* fake = reinterpret_cast<const FakeMethod*>(method);
    if (fake == nullptr) return JVMTI_ERROR_INVALID_METHODID;
    if (fake->kind == MethodKind::Native) return JVMTI_ERROR_NATIVE_METHOD;
    *count = static_cast<jint>(fake->bytecode.size());
    *bytecodes = static_cast<unsigned char*>(vm.memory(fake->bytecode.size() + 1));
    std::memcpy(*bytecodes, fake->bytecode.data(), fake->bytecode.size());
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetPotentialCapabilities(jvmtiEnv*, jvmtiCapabilities* capabilities) {
    FAKE_ENTER(GetPotentialCapabilities)
    std::memset(capabilities, 0xff, sizeof *capabilities);
    return JVMTI_ERROR_NONE;
}

// Two extension events: one the agent has no use for, and HotSpot's
// class-unload event at the index HotSpot gives it.
jvmtiError JNICALL fakeGetExtensionEvents(jvmtiEnv*, jint* count,
                                          jvmtiExtensionEventInfo** extensions) {
    FAKE_ENTER(GetExtensionEvents)
    struct Offered {
        jint index;
        const char* id;
    };
    std::vector<Offered> offered = {{48, "com.example.events.Other"}};
    if (vm.offersClassUnload) offered.push_back({49, "com.sun.hotspot.events.ClassUnload"});
    auto* events = static_cast<jvmtiExtensionEventInfo*>(
        vm.memory(sizeof(jvmtiExtensionEventInfo) * offered.size()));
    for (std::size_t i = 0; i < offered.size(); ++i) {
        events[i].extension_event_index = offered[i].index;
        events[i].id = vm.text(offered[i].id);
        events[i].short_description = vm.text("an event");
        events[i].param_count = 2;
        events[i].params = static_cast<jvmtiParamInfo*>(vm.memory(2 * sizeof(jvmtiParamInfo)));
        std::memset(events[i].params, 0, 2 * sizeof(jvmtiParamInfo));
        events[i].params[0].name = vm.text("JNI Environment");
        events[i].params[1].name = vm.text("Class");
    }
    *count = static_cast<jint>(offered.size());
    *extensions = events;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetExtensionEventCallback(jvmtiEnv*, jint index,
                                                 jvmtiExtensionEvent callback) {
    FAKE_ENTER(SetExtensionEventCallback)
    if (index != 49 && index != 48) return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    if (index == 49) vm.classUnloadCallback = callback;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeAllocate(jvmtiEnv*, jlong size, unsigned char** memory) {
    FAKE_ENTER(Allocate)
    if (size < 0) return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    *memory = static_cast<unsigned char*>(vm.memory(static_cast<std::size_t>(size)));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetConstantPool(jvmtiEnv*, jclass cls, jint* count, jint* length,
                                       unsigned char** bytes) {
    FAKE_ENTER(GetConstantPool)
    if (cls == nullptr) return JVMTI_ERROR_INVALID_CLASS;
    const FakeClass& fake = vm.classOf(cls);
    *count = fake.poolCount;
    *length = static_cast<jint>(fake.pool.size());
    *bytes = static_cast<unsigned char*>(vm.memory(fake.pool.size() + 1));
    if (!fake.pool.empty()) std::memcpy(*bytes, fake.pool.data(), fake.pool.size());
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetLoadedClasses(jvmtiEnv*, jint* count, jclass** classes) {
    FAKE_ENTER(GetLoadedClasses)
    *count = static_cast<jint>(vm.loadedClasses.size());
    *classes = static_cast<jclass*>(vm.memory(sizeof(jclass) * (vm.loadedClasses.size() + 1)));
    for (std::size_t i = 0; i < vm.loadedClasses.size(); ++i) (*classes)[i] = vm.loadedClasses[i];
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeIsModifiableClass(jvmtiEnv*, jclass cls, jboolean* modifiable) {
    FAKE_ENTER(IsModifiableClass)
    if (cls == nullptr) return JVMTI_ERROR_INVALID_CLASS;
    *modifiable = vm.classOf(cls).modifiable ? JNI_TRUE : JNI_FALSE;
    return JVMTI_ERROR_NONE;
}

// As the VM does: all or nothing, each class through the load hook that the
// callback table holds, with the class being redefined.
jvmtiError JNICALL fakeRetransformClasses(jvmtiEnv* env, jint count, const jclass* classes) {
    FAKE_ENTER(RetransformClasses)
    vm.retransformBatches.emplace_back(classes, classes + count);
    for (jint i = 0; i < count; ++i) {
        if (vm.classOf(classes[i]).refusesRetransform) return JVMTI_ERROR_UNMODIFIABLE_CLASS;
    }
    jvmtiEventCallbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    std::memcpy(&callbacks, vm.callbackTable.data(),
                std::min(vm.callbackTable.size(), sizeof callbacks));
    for (jint i = 0; i < count && callbacks.ClassFileLoadHook != nullptr; ++i) {
        FakeClass& fake = vm.classOf(classes[i]);
        std::string name = fake.signature.substr(1, fake.signature.size() - 2);
        jint newLength = 0;
        unsigned char* newBytes = nullptr;
        callbacks.ClassFileLoadHook(env, vm.jni(), classes[i], nullptr, name.c_str(), nullptr,
                                    static_cast<jint>(fake.classFile.size()), fake.classFile.data(),
                                    &newLength, &newBytes);
        if (newBytes != nullptr) {
            fake.classFile.assign(newBytes, newBytes + newLength);
            vm.releaseText(newBytes);
        }
    }
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetNamedModule(jvmtiEnv*, jobject, const char* packageName,
                                      jobject* module) {
    FAKE_ENTER(GetNamedModule)
    auto found = vm.packageModules.find(packageName);
    *module = found != vm.packageModules.end() ? found->second : nullptr;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetSystemProperty(jvmtiEnv*, const char* property, char** value) {
    FAKE_ENTER(GetSystemProperty)
    auto found = vm.systemProperties.find(property);
    if (found == vm.systemProperties.end()) return JVMTI_ERROR_NOT_AVAILABLE;
    *value = vm.text(found->second);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeGetAllModules(jvmtiEnv*, jint* count, jobject** modules) {
    FAKE_ENTER(GetAllModules)
    *count = static_cast<jint>(vm.modules.size());
    *modules = static_cast<jobject*>(vm.memory(sizeof(jobject) * (vm.modules.size() + 1)));
    std::copy(vm.modules.begin(), vm.modules.end(), *modules);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeRunAgentThread(jvmtiEnv* env, jthread thread, jvmtiStartFunction proc,
                                      const void* argument, jint) {
    FAKE_ENTER(RunAgentThread)
    if (thread == nullptr) return JVMTI_ERROR_INVALID_THREAD;
    ++vm.agentThreadsRun;
    void* passed = const_cast<void*>(argument);
    vm.agentThreads.emplace_back([env, proc, passed] { proc(env, FakeJvm::current().jni(), passed); });
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeSetFieldModificationWatch(jvmtiEnv*, jclass cls, jfieldID field) {
    FAKE_ENTER(SetFieldModificationWatch)
    if (cls == nullptr || field == nullptr) return JVMTI_ERROR_INVALID_FIELDID;
    vm.watchedFieldClasses.push_back(cls);
    return JVMTI_ERROR_NONE;
}

// Waits as the VM does: the monitor is let go meanwhile (entered once).
jvmtiError JNICALL fakeRawMonitorWait(jvmtiEnv*, jrawMonitorID monitor, jlong milliseconds) {
    if (monitor == nullptr) return JVMTI_ERROR_INVALID_MONITOR;
    auto* fake = reinterpret_cast<FakeMonitor*>(monitor);
    int entries = fake->entries;
    fake->entries = 0;
    if (milliseconds <= 0) {
        fake->changed.wait(fake->lock);
    } else {
        fake->changed.wait_for(fake->lock, std::chrono::milliseconds(milliseconds));
    }
    fake->entries = entries;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL fakeRawMonitorNotifyAll(jvmtiEnv*, jrawMonitorID monitor) {
    if (monitor == nullptr) return JVMTI_ERROR_INVALID_MONITOR;
    reinterpret_cast<FakeMonitor*>(monitor)->changed.notify_all();
    return JVMTI_ERROR_NONE;
}

jweak JNICALL fakeNewWeakGlobalRef(JNIEnv*, jobject object) {
    FakeJvm& vm = FakeJvm::current();
    if (vm.failure(Call::NewWeakGlobalRef)) return nullptr;
    ++vm.liveWeakReferences;
    return object;
}

void JNICALL fakeDeleteWeakGlobalRef(JNIEnv*, jweak) { --FakeJvm::current().liveWeakReferences; }

// Classes are the only objects held weakly; an unloaded one reads as null.
jboolean JNICALL fakeIsSameObject(JNIEnv*, jobject first, jobject second) {
    FakeJvm& vm = FakeJvm::current();
    auto resolve = [&](jobject object) -> jobject {
        return object != nullptr && vm.isUnloadedClass(object) ? nullptr : object;
    };
    return resolve(first) == resolve(second) ? JNI_TRUE : JNI_FALSE;
}

bool pendingException = false;

void JNICALL fakeExceptionClear(JNIEnv*) { pendingException = false; }
jboolean JNICALL fakeExceptionCheck(JNIEnv*) { return pendingException ? JNI_TRUE : JNI_FALSE; }

// Identifiers of the few members the agent looks up; any name is found
// unless noted.
int memberId;
jmethodID JNICALL fakeGetMethodID(JNIEnv*, jclass cls, const char*, const char*) {
    return cls != nullptr ? reinterpret_cast<jmethodID>(&memberId) : nullptr;
}
jmethodID JNICALL fakeGetStaticMethodID(JNIEnv*, jclass cls, const char* name, const char*) {
    FakeJvm& vm = FakeJvm::current();
    bool known = cls != nullptr && vm.classOf(cls).signature == vm.moduleHelperClass &&
                 std::strcmp(name, "transformedByAgent") == 0;
    return known ? reinterpret_cast<jmethodID>(&memberId) : nullptr;
}
jfieldID JNICALL fakeGetFieldID(JNIEnv*, jclass cls, const char*, const char*) {
    return cls != nullptr ? reinterpret_cast<jfieldID>(&memberId) : nullptr;
}
// A named module's name field reads as an object of its own; every other
// field as null.
jobject JNICALL fakeGetObjectField(JNIEnv*, jobject object, jfieldID) {
    auto* fake = reinterpret_cast<FakeObject*>(object);
    return fake != nullptr && !fake->moduleName.empty() ? object : nullptr;
}
jstring JNICALL fakeNewStringUTF(JNIEnv*, const char*) {
    FakeJvm& vm = FakeJvm::current();
    return static_cast<jstring>(vm.object(vm.klass("Ljava/lang/String;")));
}
// The C++ JNI calls its V forms.
jobject JNICALL fakeNewObjectV(JNIEnv*, jclass cls, jmethodID, va_list) {
    return FakeJvm::current().object(cls);
}
jobject JNICALL fakeNewGlobalRef(JNIEnv*, jobject object) { return object; }
void JNICALL fakeDeleteRef(JNIEnv*, jobject) {}

// Only Modules.transformedByAgent(Module) is ever called.
void JNICALL fakeCallStaticVoidMethodV(JNIEnv*, jclass, jmethodID, va_list arguments) {
    FakeJvm& vm = FakeJvm::current();
    vm.transformedByAgent.push_back(va_arg(arguments, jobject));
    pendingException = vm.transformedByAgentThrows;
}

jclass JNICALL fakeDefineClass(JNIEnv*, const char* name, jobject, const jbyte* bytes, jsize length) {
    FakeJvm& vm = FakeJvm::current();
    if (vm.failure(Call::DefineClass) || name == nullptr) {
        pendingException = true;
        return nullptr;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    vm.definedClasses.emplace_back(name, std::vector<unsigned char>(data, data + length));
    return vm.klass("L" + std::string(name) + ";");
}
jfieldID JNICALL fakeGetStaticFieldID(JNIEnv*, jclass cls, const char*, const char*) {
    FakeJvm& vm = FakeJvm::current();
    vm.staticFieldLookups.push_back(std::this_thread::get_id());
    return cls != nullptr ? reinterpret_cast<jfieldID>(&memberId) : nullptr;
}
void JNICALL fakeSetStaticObjectField(JNIEnv*, jclass, jfieldID, jobject value) {
    FakeJvm::current().staticStores.push_back(value);
}

jsize JNICALL fakeGetArrayLength(JNIEnv*, jarray array) {
    return static_cast<jsize>(FakeJvm::bytesOf(array).size());
}
// Out of bounds, as the VM: nothing copied, an exception pending.
void JNICALL fakeGetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length,
                                    jbyte* into) {
    const std::vector<unsigned char>& bytes = FakeJvm::bytesOf(array);
    if (start < 0 || length < 0 || static_cast<std::size_t>(start) + length > bytes.size()) {
        pendingException = true;
        return;
    }
    std::memcpy(into, bytes.data() + start, static_cast<std::size_t>(length));
}
void JNICALL fakeSetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length,
                                    const jbyte* from) {
    auto* fake = reinterpret_cast<FakeObject*>(array);
    if (start < 0 || length < 0 || static_cast<std::size_t>(start) + length > fake->bytes.size()) {
        pendingException = true;
        return;
    }
    std::memcpy(fake->bytes.data() + start, from, static_cast<std::size_t>(length));
}
jbyteArray JNICALL fakeNewByteArray(JNIEnv*, jsize length) {
    FakeJvm& vm = FakeJvm::current();
    if (vm.failure(Call::NewByteArray)) {
        pendingException = true;
        return nullptr;
    }
    return vm.byteArray(std::vector<unsigned char>(static_cast<std::size_t>(length)));
}

jclass JNICALL fakeGetObjectClass(JNIEnv*, jobject object) {
    FakeJvm& vm = FakeJvm::current();
    if (vm.failure(Call::GetObjectClass) || object == nullptr) return nullptr;
    return reinterpret_cast<jclass>(reinterpret_cast<FakeObject*>(object)->cls);
}

jint JNICALL fakeGetEnv(JavaVM*, void** env, jint version) {
    FakeJvm& vm = FakeJvm::current();
    if (std::optional<jvmtiError> failed = vm.failure(Call::GetEnv)) {
        return static_cast<jint>(*failed);
    }
    if (version != JVMTI_VERSION_1_0) return JNI_EVERSION;
    *env = vm.jvmti();
    return JNI_OK;
}

jvmtiInterface_1_ makeJvmtiTable() {
    jvmtiInterface_1_ table;
    std::memset(&table, 0, sizeof table);
    table.GetErrorName = fakeGetErrorName;
    table.Deallocate = fakeDeallocate;
    table.CreateRawMonitor = fakeCreateRawMonitor;
    table.DestroyRawMonitor = fakeDestroyRawMonitor;
    table.RawMonitorEnter = fakeRawMonitorEnter;
    table.RawMonitorExit = fakeRawMonitorExit;
    table.DisposeEnvironment = fakeDisposeEnvironment;
    table.AddCapabilities = fakeAddCapabilities;
    table.SetEventCallbacks = fakeSetEventCallbacks;
    table.SetEventNotificationMode = fakeSetEventNotificationMode;
    table.GetMethodName = fakeGetMethodName;
    table.GetMethodDeclaringClass = fakeGetMethodDeclaringClass;
    table.GetClassSignature = fakeGetClassSignature;
    table.GetArgumentsSize = fakeGetArgumentsSize;
    table.GetLocalObject = fakeGetLocalObject;
    table.GetTag = fakeGetTag;
    table.SetTag = fakeSetTag;
    table.GetMethodModifiers = fakeGetMethodModifiers;
    table.GetBytecodes = fakeGetBytecodes;
    table.GetPotentialCapabilities = fakeGetPotentialCapabilities;
    table.GetExtensionEvents = fakeGetExtensionEvents;
    table.SetExtensionEventCallback = fakeSetExtensionEventCallback;
    table.Allocate = fakeAllocate;
    table.GetFrameLocation = fakeGetFrameLocation;
    table.GetConstantPool = fakeGetConstantPool;
    table.GetLoadedClasses = fakeGetLoadedClasses;
    table.IsModifiableClass = fakeIsModifiableClass;
    table.RetransformClasses = fakeRetransformClasses;
    table.GetNamedModule = fakeGetNamedModule;
    table.GetAllModules = fakeGetAllModules;
    table.GetSystemProperty = fakeGetSystemProperty;
    table.RunAgentThread = fakeRunAgentThread;
    table.RawMonitorWait = fakeRawMonitorWait;
    table.RawMonitorNotifyAll = fakeRawMonitorNotifyAll;
    table.SetFieldModificationWatch = fakeSetFieldModificationWatch;
    return table;
}

JNINativeInterface_ makeJniTable() {
    JNINativeInterface_ table;
    std::memset(&table, 0, sizeof table);
    table.GetObjectClass = fakeGetObjectClass;
    table.ExceptionClear = fakeExceptionClear;
    table.ExceptionCheck = fakeExceptionCheck;
    table.GetMethodID = fakeGetMethodID;
    table.GetStaticMethodID = fakeGetStaticMethodID;
    table.GetFieldID = fakeGetFieldID;
    table.GetObjectField = fakeGetObjectField;
    table.NewStringUTF = fakeNewStringUTF;
    table.NewObjectV = fakeNewObjectV;
    table.CallStaticVoidMethodV = fakeCallStaticVoidMethodV;
    table.NewGlobalRef = fakeNewGlobalRef;
    table.DeleteGlobalRef = fakeDeleteRef;
    table.DeleteLocalRef = fakeDeleteRef;
    table.NewWeakGlobalRef = fakeNewWeakGlobalRef;
    table.DeleteWeakGlobalRef = fakeDeleteWeakGlobalRef;
    table.IsSameObject = fakeIsSameObject;
    table.GetArrayLength = fakeGetArrayLength;
    table.GetByteArrayRegion = fakeGetByteArrayRegion;
    table.SetByteArrayRegion = fakeSetByteArrayRegion;
    table.NewByteArray = fakeNewByteArray;
    table.DefineClass = fakeDefineClass;
    table.GetStaticFieldID = fakeGetStaticFieldID;
    table.SetStaticObjectField = fakeSetStaticObjectField;
    return table;
}

JNIInvokeInterface_ makeInvokeTable() {
    JNIInvokeInterface_ table;
    std::memset(&table, 0, sizeof table);
    table.GetEnv = fakeGetEnv;
    return table;
}

const jvmtiInterface_1_ jvmtiTable = makeJvmtiTable();
const JNINativeInterface_ jniTable = makeJniTable();
const JNIInvokeInterface_ invokeTable = makeInvokeTable();

}  // namespace

FakeJvm::FakeJvm() {
    if (currentFake != nullptr) throw std::logic_error("only one FakeJvm at a time");
    currentFake = this;
    pendingException = false;
    env_.functions = &jvmtiTable;
    jniEnv_.functions = &jniTable;
    javaVm_.functions = &invokeTable;
    errorNames = {
        {JVMTI_ERROR_INVALID_THREAD, "JVMTI_ERROR_INVALID_THREAD"},
        {JVMTI_ERROR_INVALID_CLASS, "JVMTI_ERROR_INVALID_CLASS"},
        {JVMTI_ERROR_INVALID_METHODID, "JVMTI_ERROR_INVALID_METHODID"},
        {JVMTI_ERROR_INVALID_MONITOR, "JVMTI_ERROR_INVALID_MONITOR"},
        {JVMTI_ERROR_NOT_MONITOR_OWNER, "JVMTI_ERROR_NOT_MONITOR_OWNER"},
        {JVMTI_ERROR_NOT_AVAILABLE, "JVMTI_ERROR_NOT_AVAILABLE"},
        {JVMTI_ERROR_OUT_OF_MEMORY, "JVMTI_ERROR_OUT_OF_MEMORY"},
        {JVMTI_ERROR_WRONG_PHASE, "JVMTI_ERROR_WRONG_PHASE"},
        {JVMTI_ERROR_ILLEGAL_ARGUMENT, "JVMTI_ERROR_ILLEGAL_ARGUMENT"},
    };
}

FakeJvm::~FakeJvm() {
    for (std::thread& thread : agentThreads) thread.join();
    for (char* text : texts_) delete[] text;
    currentFake = nullptr;
}

FakeJvm& FakeJvm::current() {
    if (currentFake == nullptr) throw std::logic_error("no FakeJvm");
    return *currentFake;
}

jclass FakeJvm::klass(const std::string& signature, std::optional<std::string> generic) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto created = std::make_unique<FakeClass>();
    created->signature = signature;
    created->generic = std::move(generic);
    classes_.push_back(std::move(created));
    return reinterpret_cast<jclass>(classes_.back().get());
}

jmethodID FakeJvm::method(jclass declaring, const std::string& name, const std::string& signature,
                          MethodKind kind, std::optional<std::string> generic) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    methods_.push_back(std::make_unique<FakeMethod>(FakeMethod{
        reinterpret_cast<FakeClass*>(declaring), name, signature, std::move(generic), kind}));
    return reinterpret_cast<jmethodID>(methods_.back().get());
}

jobject FakeJvm::object(jclass cls) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    objects_.push_back(std::make_unique<FakeObject>());
    objects_.back()->cls = reinterpret_cast<FakeClass*>(cls);
    return reinterpret_cast<jobject>(objects_.back().get());
}

jbyteArray FakeJvm::byteArray(const std::vector<unsigned char>& bytes) {
    jobject created = object(klass("[B"));
    reinterpret_cast<FakeObject*>(created)->bytes = bytes;
    return static_cast<jbyteArray>(created);
}

const std::vector<unsigned char>& FakeJvm::bytesOf(jobject array) {
    return reinterpret_cast<FakeObject*>(array)->bytes;
}

jobject FakeJvm::module(const std::string& name) {
    jobject created = object(klass("Ljava/lang/Module;"));
    reinterpret_cast<FakeObject*>(created)->moduleName = name;
    return created;
}

jthread FakeJvm::thread(jobject receiver) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    threads_.push_back(std::make_unique<FakeThread>());
    threads_.back()->slot0 = reinterpret_cast<FakeObject*>(receiver);
    return reinterpret_cast<jthread>(threads_.back().get());
}

void FakeJvm::setReceiver(jthread thread, jobject receiver) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    reinterpret_cast<FakeThread*>(thread)->slot0 = reinterpret_cast<FakeObject*>(receiver);
}

void FakeJvm::setCaller(jthread thread, jmethodID method, jlocation location, jobject receiver) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto* fake = reinterpret_cast<FakeThread*>(thread);
    fake->callerMethod = method;
    fake->callerLocation = location;
    fake->callerSlot0 = reinterpret_cast<FakeObject*>(receiver);
}

void FakeJvm::setOuterCaller(jthread thread, jmethodID method, jlocation location,
                             jobject receiver) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto* fake = reinterpret_cast<FakeThread*>(thread);
    fake->outerMethod = method;
    fake->outerLocation = location;
    fake->outerSlot0 = reinterpret_cast<FakeObject*>(receiver);
}

namespace {
thread_local jthread callingThread = nullptr;
}

void FakeJvm::setCurrentThread(jthread thread) { callingThread = thread; }
jthread FakeJvm::currentThread() { return callingThread; }

void FakeJvm::setConstantPool(jclass cls, uint16_t count, std::vector<unsigned char> entries) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    FakeClass& fake = classOf(cls);
    fake.poolCount = count;
    fake.pool = std::move(entries);
}

bool FakeJvm::isUnloadedClass(jobject object) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (const auto& cls : classes_) {
        if (reinterpret_cast<jobject>(cls.get()) == object) return cls->unloaded;
    }
    return false;
}

void FakeJvm::setBytecode(jmethodID method, std::vector<unsigned char> code) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    reinterpret_cast<FakeMethod*>(method)->bytecode = std::move(code);
}

void FakeJvm::reuseMethodId(jmethodID method, jclass declaring, const std::string& name,
                            const std::string& signature, MethodKind kind) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    *reinterpret_cast<FakeMethod*>(method) =
        FakeMethod{reinterpret_cast<FakeClass*>(declaring), name, signature, std::nullopt, kind};
}

void FakeJvm::unloadClasses() {
    if (classUnloadCallback != nullptr) classUnloadCallback(jvmti(), jni(), "Lapp/Gone;");
}

jlong FakeJvm::tagOf(jobject object) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return reinterpret_cast<const FakeObject*>(object)->tag;
}

void FakeJvm::setTag(jobject object, jlong tag) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    reinterpret_cast<FakeObject*>(object)->tag = tag;
}

void FakeJvm::fail(Call call, jvmtiError error) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    failures_[call] = error;
}

void FakeJvm::failOnce(Call call, jvmtiError error) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    onceFailures_[call] = error;
}

void FakeJvm::succeed(Call call) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    failures_.erase(call);
    onceFailures_.erase(call);
}

void FakeJvm::setErrorName(jvmtiError error, const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    errorNames[error] = name;
}

void FakeJvm::forgetErrorName(jvmtiError error) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    errorNames.erase(error);
}

int FakeJvm::calls(Call call) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return counts_[static_cast<int>(call)];
}

std::vector<Call> FakeJvm::callLog() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return callLog_;
}

int FakeJvm::totalCalls() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    int total = 0;
    for (int count : counts_) total += count;
    return total;
}

int FakeJvm::outstandingTexts() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return static_cast<int>(texts_.size());
}

int FakeJvm::badDeallocations() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return badDeallocations_;
}

int FakeJvm::monitorDepth(jrawMonitorID monitor) const {
    return reinterpret_cast<FakeMonitor*>(monitor)->entries;
}

bool FakeJvm::monitorDestroyed(jrawMonitorID monitor) const {
    return destroyedMonitors.count(reinterpret_cast<FakeMonitor*>(monitor)) != 0;
}

std::optional<jvmtiError> FakeJvm::failure(Call call) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    ++counts_[static_cast<int>(call)];
    callLog_.push_back(call);
    auto once = onceFailures_.find(call);
    if (once != onceFailures_.end()) {
        jvmtiError error = once->second;
        onceFailures_.erase(once);
        return error;
    }
    auto found = failures_.find(call);
    if (found != failures_.end()) return found->second;
    return std::nullopt;
}

char* FakeJvm::text(const std::string& value) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    char* copy = new char[value.size() + 1];
    std::memcpy(copy, value.c_str(), value.size() + 1);
    texts_.insert(copy);
    return copy;
}

void* FakeJvm::memory(std::size_t size) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    char* block = new char[size > 0 ? size : 1];
    texts_.insert(block);
    return block;
}

bool FakeJvm::releaseText(unsigned char* text) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto found = texts_.find(reinterpret_cast<char*>(text));
    if (found == texts_.end()) {
        ++badDeallocations_;
        return false;
    }
    delete[] *found;
    texts_.erase(found);
    return true;
}

FakeMonitor* FakeJvm::createMonitor(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    monitors_.push_back(std::make_unique<FakeMonitor>());
    monitors_.back()->name = name != nullptr ? name : "";
    return monitors_.back().get();
}

jint FakeJvm::argumentSlots(const FakeMethod& method) {
    // Parameters between the parentheses; long and double take two slots.
    jint slots = method.kind == MethodKind::Static ? 0 : 1;
    const std::string& sig = method.signature;
    std::size_t i = sig.find('(');
    if (i == std::string::npos) return slots;
    for (++i; i < sig.size() && sig[i] != ')'; ++i) {
        while (i < sig.size() && sig[i] == '[') ++i;
        if (i >= sig.size()) break;
        bool array = i > 0 && sig[i - 1] == '[';
        if (sig[i] == 'L') {
            std::size_t end = sig.find(';', i);
            if (end == std::string::npos) break;
            i = end;
            ++slots;
        } else {
            slots += (!array && (sig[i] == 'J' || sig[i] == 'D')) ? 2 : 1;
        }
    }
    return slots;
}
