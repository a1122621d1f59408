/* TavrinSource.ds: the data source's side of the link to the scan window.
   Threads: one calling thread per session; the module's own receiver
   thread only fills the session's queue. */
#ifndef TAVRIN_SOURCE_H
#define TAVRIN_SOURCE_H

#ifdef __cplusplus
extern "C" {
#endif

#define TAVRIN_SOURCE_API __attribute__((visibility("default")))

/* Results of the calls. */
#define TS_OK 0
#define TS_ERROR 1     /* set-up failed: files, blocks, bad argument */
#define TS_NO_WINDOW 3 /* TavrinDesk missing, not started, or ended before attaching */
#define TS_WINDOW_ENDED 4
#define TS_TIMEOUT 5
#define TS_BUSY 6 /* another scan session of this user is open; tsLastError says so */

/* Events of tsNextEvent. */
#define TS_EVENT_TIMEOUT 0
#define TS_EVENT_FILE 1     /* one delivered file (203, or one entry of FileList.xml) */
#define TS_EVENT_FINISHED 2 /* the window sent 205, or all files of its 207 were given */
#define TS_EVENT_ENDED 3    /* the window's process has ended and nothing more waits */

/* Message codes of the link between the data source and the window. */
#define TS_MSG_SHOW 202      /* data source -> window: show yourself */
#define TS_MSG_IMAGE 203     /* window -> data source: one file */
#define TS_MSG_CLOSE 205     /* both ways: close / ended */
#define TS_MSG_REQUEST 206   /* data source -> window: a new scan request */
#define TS_MSG_FILE_LIST 207 /* window -> data source: the path of FileList.xml */

/* Show modes of ShowModel.xml: how a request is served. */
#define TS_SHOW_NONE (-1)      /* no mode file read yet */
#define TS_SHOW_WINDOW 0       /* the person shoots; files are listed at the close */
#define TS_SHOW_CAPTURE_SEND 1 /* unattended: capture at once and send each file */
#define TS_SHOW_LIST 2         /* the person shoots; only the list at the close */
#define TS_SHOW_CAPTURE_LIST 3 /* unattended: capture at once; files are listed */

/* Colour types of ShowModel.xml (TWAIN pixel types). */
#define TS_PIXEL_BW 0
#define TS_PIXEL_GREY 1
#define TS_PIXEL_RGB 2

typedef struct TavrinSession TavrinSession;

/* Takes the user's scan-session lock (TS_BUSY at once while another
   session of this user holds it; it is held until tsClose, and the system
   drops it when the process dies), creates the two blocks under names
   unique to this run, writes cfgInfo.xml beside the module (or in the
   per-user configuration folder when the module's is read-only) and
   ShowModel.xml, starts TavrinDesk from the module's folder and waits up
   to attachTimeoutMs for it to attach. The window reads this session's
   own copy of cfgInfo.xml, in the user's private temporary folder, which
   it is named on its command line ("--cfg-info <path>"): one another user
   left beside the module is never read. */
TAVRIN_SOURCE_API int tsOpen(TavrinSession** session, int showMode, int colorType, int rotateMode,
                             int dpi, int attachTimeoutMs);
/* Flags of tsOpenWith. */
/* The client asks only for pages taken at once without the person (show
   mode 1, no automatic run), as a flatbed scanner's frontend does: the
   window never shows itself then and builds none of its controls. It is
   started with TS_HIDDEN_FLATBED_ARGUMENT on its command line. */
#define TS_OPEN_HIDDEN_FLATBED 1
#define TS_HIDDEN_FLATBED_ARGUMENT "--hidden-flatbed"
/* Both ends of such a window's link look for messages this often (in
   microseconds): the window lives a second or two, in which a page's
   request, file and close each wait for a look, so a shorter wait than the
   usual 10 ms costs next to nothing. */
#define TS_HIDDEN_FLATBED_POLL_US 2000
/* As tsOpen, with the flags above (0: as tsOpen). */
TAVRIN_SOURCE_API int tsOpenWith(TavrinSession** session, int showMode, int colorType,
                                 int rotateMode, int dpi, int attachTimeoutMs, int flags);
/* Rewrites ShowModel.xml (order ShowMode, ColorType, RotateMode, DPIMode). */
TAVRIN_SOURCE_API int tsWriteShowModel(TavrinSession* session, int showMode, int colorType,
                                       int rotateMode, int dpi);
/* As tsWriteShowModel, followed by the optional "CropMode" (the window's
   crop item; below 0 leaves the window's choice), "AutoCapture" (above
   0: the next 206 starts an automatic run that shoots each new page after
   that many still seconds, and sends each file at once in mode 1) and
   "EvenLight" (1 evens out the light of colour and grey page crops, 0 does
   not; below 0 leaves the window's choice) and "SearchArea" (searchArea
   null: the whole picture; else four whole percents, left, top, right,
   bottom, of a 4:3 field as wide as the camera's picture: the crop takes
   only pages lying wholly inside it, and without one the whole picture
   comes). */
TAVRIN_SOURCE_API int tsWriteScanRequest(TavrinSession* session, int showMode, int colorType,
                                         int rotateMode, int dpi, int cropMode,
                                         int autoCaptureSeconds, int evenLight,
                                         const int* searchArea);
/* Sends 202, 205 or 206, waiting up to timeoutMs for the window to free the
   block; gives TS_WINDOW_ENDED at once when its process ends meanwhile. */
TAVRIN_SOURCE_API int tsSend(TavrinSession* session, int code, int timeoutMs);
/* Sends 202, 205 or 206 by the copied-data path instead: a record with
   identifier 1002 on the window's local socket "tavrin-desk-<uid>" in the
   user's private temporary folder. The window handles it on its own
   thread. TS_NO_WINDOW when no window listens there. */
TAVRIN_SOURCE_API int tsSendCopiedData(TavrinSession* session, int code, int timeoutMs);
/* Waits up to timeoutMs for the next event; a file's UTF-8 path goes into
   path (pathSize bytes, always terminated). */
TAVRIN_SOURCE_API int tsNextEvent(TavrinSession* session, int timeoutMs, char* path, int pathSize);
TAVRIN_SOURCE_API int tsWindowRunning(TavrinSession* session);
/* 1 once the window said that it could not hand on pages it captured (its
   file list could not be written, or their paths do not fit a message);
   tsLastError then says why and where the pages are. */
TAVRIN_SOURCE_API int tsPagesNotHandedOn(TavrinSession* session);
/* Last failure of the session as one line of text; never null. */
TAVRIN_SOURCE_API const char* tsLastError(TavrinSession* session);
/* Closes the channel, waits up to waitMs for the window to end and stops
   it if it did not, then frees the session. Files handed out that are
   copies in the private temporary folder (one-by-one delivery) are
   removed: the client has taken them by now. */
TAVRIN_SOURCE_API void tsClose(TavrinSession* session, int waitMs);

#ifdef __cplusplus
}
#endif

#endif
