// The C ABI of libTavrinLens.so, the camera library.
//
// Strings are UTF-8. Results: 0 = success, any other value a failure code.
// Text results are owned by the library and stay valid until the next call
// with the same camera. Callbacks get one int and return true.
//
// Threads: every function may be called from any thread. Callbacks run on a
// library thread; camUnInitCameraLib returns only after every callback has
// returned and no new one can start.
#ifndef TAVRIN_LENS_H
#define TAVRIN_LENS_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TAVRIN_LENS_BUILD)
#define TAVRIN_LENS_API __attribute__((visibility("default")))
#else
#define TAVRIN_LENS_API
#endif

typedef bool (*TavrinLensCallback)(int value);

// Library life.
TAVRIN_LENS_API int camInitCameraLib(void);
TAVRIN_LENS_API int camUnInitCameraLib(void);
TAVRIN_LENS_API int camStopCameraLib(void);
TAVRIN_LENS_API int camUpdateCameraLib(void);
TAVRIN_LENS_API int camRegCallBackDeviceChange(TavrinLensCallback callback);
TAVRIN_LENS_API int camCreateDirectory(const char* path);

// Devices, formats and sizes.
TAVRIN_LENS_API int camGetDevCount(int* count);
TAVRIN_LENS_API const char* camGetDevName(int dev);
TAVRIN_LENS_API int camOpenDev(int dev, int mediaType, int width, int height);
TAVRIN_LENS_API int camCloseDev(int dev);
TAVRIN_LENS_API int camGetMediaTypeCount(int dev, int* count);
TAVRIN_LENS_API const char* camGetMediaTypeName(int dev, int index);
TAVRIN_LENS_API int camGetResolutionCount(int dev, int mediaType, int* count);
TAVRIN_LENS_API int camGetResolution(int dev, int mediaType, int index, int* width, int* height);
TAVRIN_LENS_API int camSetMediaType(int dev, int mediaType);
TAVRIN_LENS_API int camSetResolution(int dev, int width, int height);
// mediaType is -1 when the camera is not open.
TAVRIN_LENS_API int camGetCurResolution(int dev, int* mediaType, int* width, int* height);

// Preview. window is QWidget::winId() of the host widget; null detaches.
TAVRIN_LENS_API int camSetPreviewWindow(int dev, void* window);
TAVRIN_LENS_API int camZooIn(int dev);
TAVRIN_LENS_API int camZoomOut(int dev);
TAVRIN_LENS_API int camOptimalPreview(int dev);
TAVRIN_LENS_API int camOriginalPreview(int dev);
TAVRIN_LENS_API int camShowImageSettingWindow(int dev);
TAVRIN_LENS_API int camShowDevSettingWindow(int dev);

// Processing applied at capture.
// crop: a page found in the frame; a book comes as its two pages.
enum {
  kTavrinCropNone = 0,
  kTavrinCropSinglePage = 1,
  kTavrinCropMultiplePages = 2,
  kTavrinCropEdgeRestore = 3,  // single page with edge restore
  kTavrinCropBook = 4
};
TAVRIN_LENS_API int camSetImageAutoCrop(int dev, int crop);
// rotate: a quarter turn left (counter-clockwise), half a turn, a quarter
// turn right.
enum { kTavrinRotateNone = 0, kTavrinRotateLeft = 1, kTavrinRotate180 = 2, kTavrinRotateRight = 3 };
TAVRIN_LENS_API int camSetImageRotateMode(int dev, int rotate);
// Percent of the frame; 0, 0, 100, 100 switches the user-drawn frame on,
// four zeros switch it off.
TAVRIN_LENS_API int camSetImageCusCropRect(int dev, int left, int top, int right, int bottom);
// Percent of the picture: the automatic crop takes only pages lying wholly
// inside it; without one, the picture comes as if no area were set. Four
// zeros: the whole picture.
TAVRIN_LENS_API int camSetImageSearchArea(int dev, int left, int top, int right, int bottom);
// colorMode; any other value is colour.
enum {
  kTavrinColorColour = 0,
  kTavrinColorDocument = 1,  // black-and-white for documents
  kTavrinColorGrey = 3,
  kTavrinColorBlackWhite = 4
};
TAVRIN_LENS_API int camSetImageAdjust(int dev, int colorMode);
// enable 1 (the default): a colour or grey page that a crop found comes
// out with the light evened out (the paper white, the ink its own colour,
// as a flatbed gives it); 0 keeps the light the camera saw. No crop always
// keeps it.
TAVRIN_LENS_API int camSetImageEvenLight(int dev, int enable);
// 0, 0 = the camera's own DPI.
TAVRIN_LENS_API int camSetImageDPI(int dev, int dpiX, int dpiY);
TAVRIN_LENS_API int camGetImageDPI(int dev, int* dpiX, int* dpiY);
// angle in degrees counter-clockwise, transparency in percent (0 opaque).
TAVRIN_LENS_API int camSetImageWaterMark(int dev, const char* text, int position, int fontSize,
                                         const char* fontName, int italic, int underline, int bold,
                                         float angle, float transparency, int red, int green,
                                         int blue, int enable);

// Capture. path is a buffer of kTavrinLensPathBuffer bytes; a multiple crop
// rewrites it to "file1;file2;...", never past its last byte.
enum { kTavrinLensPathBuffer = 1024 };
// The result of a capture whose camera gave no picture at its size: at
// once when it has given none since its stream started seconds ago.
enum { kTavrinLensNoFrame = 7 };
TAVRIN_LENS_API int camCaptureImageFile(int dev, char* path);
// mode: the second picture inside the first at x, y scaled to w x h, or
// beside it, named by the side it goes to and the end it is aligned with.
enum {
  kTavrinMergeInside = 0,
  kTavrinMergeLeftUpper = 1,
  kTavrinMergeAboveLeft = 2,
  kTavrinMergeAboveRight = 3,
  kTavrinMergeRightUpper = 4,
  kTavrinMergeRightLower = 5,
  kTavrinMergeBelowRight = 6,
  kTavrinMergeBelowLeft = 7,
  kTavrinMergeLeftLower = 8
};
TAVRIN_LENS_API int camCombineImage(const char* first, const char* second, const char* output,
                                    int mode, int x, int y, int w, int h);

// Continuous capture. timed != 0: the callback gets 1, 2, ... once a second
// and interval at the shot; otherwise it rises while a new page lies still.
TAVRIN_LENS_API int camStartAutoCapture(int dev, int timed, int interval,
                                        TavrinLensCallback callback);
TAVRIN_LENS_API int camStopAutoCapture(int dev);

#ifdef __cplusplus
}
#endif

#endif  // TAVRIN_LENS_H
