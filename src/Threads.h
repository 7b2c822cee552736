#ifndef THREADS_H
#define THREADS_H

#include <pthread.h>

// Worker entries of the acquisition cycle. Each ignores its argument, works on
// the window through pMainWindow and returns a null pointer.
void *fn_thread_GetDataFromSerial(void *arg);
void *fn_thread_TakeReferenceImage(void *arg);
void *fn_thread_ProcessImage(void *arg);

// Handles of the current cycle's workers (defined with the main window).
extern pthread_t pthread_GetData;
extern pthread_t pthread_TakeReferenceImage;
extern pthread_t pthread_ProcessImage;

#endif
