/* The external editor: a text-editor window in the calling process, reached
   through three C functions. Call them on the thread of the QApplication,
   which must already exist. Paths are zero-terminated UTF-8. */
#ifndef TALLOWIN_EDITORDLL_H
#define TALLOWIN_EDITORDLL_H

#define EDITORDLL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the editor window on the file at path and returns at once. A file
   that does not exist yet opens empty and is created by the first save. When
   the window is already open it switches to the new file, first asking
   whether to save unsaved changes to the old one.
   Returns 0 when the window shows path, -1 when it does not (no
   QApplication, no path, the file unreadable, or the question cancelled). */
EDITORDLL_API int CallEditor(const char* path);

/* Nonzero while no editor window is open: before the first CallEditor and
   once the window has been closed. */
EDITORDLL_API int isClosed(void);

/* The path of the file the editor holds: the one last opened, or the one
   last saved to with Save As. It stays available after the window closed.
   The caller owns buffer; size counts its bytes including the terminating
   zero. The path and its zero are copied into buffer only when they fit;
   otherwise buffer is left untouched. Returns the length of the path
   without the zero, or 0 (buffer untouched) when the editor never held a
   file. So a result r with 0 < r < size means buffer now holds the path;
   r >= size asks for a buffer of r + 1 bytes. buffer may be null when size
   is 0, to ask for the length only. */
EDITORDLL_API int textFileName(char* buffer, int size);

/* Editor windows of their own, one per call, each told apart by a handle,
   so that several files are edited side by side without sharing a path.
   They do not touch the window of CallEditor. */

/* Opens a new window on path; returns its handle (> 0), or -1 as CallEditor
   would fail. */
EDITORDLL_API int OpenEditorWindow(const char* path);

/* 1 once the window of handle has closed (or handle was never given), else 0. */
EDITORDLL_API int editorWindowClosed(int handle);

/* The path the window of handle holds (changed by Save As), with the buffer
   rules of textFileName; it stays available after the window closed. */
EDITORDLL_API int editorWindowFileName(int handle, char* buffer, int size);

/* Asks the window of handle to close, with the question about unsaved
   changes it asks when its user closes it. 1 when it is closed, 0 when the
   user chose to stay. */
EDITORDLL_API int closeEditorWindow(int handle);

/* Brings the window of handle to the front; nothing when it is closed. */
EDITORDLL_API void raiseEditorWindow(int handle);

#ifdef __cplusplus
}
#endif

#endif
