/*
 * Machine-dependent JNI types for 32-bit Windows. Exports are named by the
 * module definition file, so JNIEXPORT adds no dllexport attribute; JNICALL
 * is __stdcall, which gives the _name@bytes decoration a 32-bit Windows JVM
 * looks up.
 */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
