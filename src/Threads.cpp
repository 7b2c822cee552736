#include "Threads.h"

#include "Serial.h"
#include "mainwindow.h"

void *fn_thread_GetDataFromSerial(void *)
{
    MainWindow *w = pMainWindow;
    ReadDataOnSerialPort(&w->fdSerial, w->pRawFrame1, w->pRawFrame2,
                         &w->uCksumRead, &w->uCksumCalc, &w->uCksumBuffer);
    return nullptr;
}

void *fn_thread_TakeReferenceImage(void *)
{
    pMainWindow->TakeReferenceImage();
    return nullptr;
}

void *fn_thread_ProcessImage(void *)
{
    pMainWindow->ProcessImage();
    return nullptr;
}
