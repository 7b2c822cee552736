#ifndef THREADS_H
#define THREADS_H

// Worker entries of the acquisition cycle. Each ignores its argument, works on
// the window through pMainWindow and returns a null pointer.
void *fn_thread_GetDataFromSerial(void *arg);
void *fn_thread_TakeReferenceImage(void *arg);
void *fn_thread_ProcessImage(void *arg);

#endif
