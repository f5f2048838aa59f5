/* Machine-dependent JNI definitions for 32-bit and 64-bit Windows.
 *
 * The build machine's JDK is Linux's; its jni_md.h declares ELF visibility
 * and no calling convention. The Windows build puts this directory before
 * the JDK's include directory, so jni.h and jvmti.h pick up this file. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* The DLL's exports are named by platform/win32/kelmora.def (kelmora-x64.def
 * in the 64-bit build). dllexport would add the names mingw gives stdcall
 * functions (Agent_OnLoad@12), which are not the ones a 32-bit VM looks up
 * (_Agent_OnLoad@12). */
#define JNIEXPORT
#define JNIIMPORT __declspec(dllimport)
/* 64-bit Windows has one calling convention; the compiler ignores this. */
#define JNICALL __stdcall

/* As the Windows JDK declares them: jint is long, 32 bits on Windows (32-
 * and 64-bit alike), jlong 64 bits. */
typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
