// The Main window and the small windowing layer around it: gadget identifiers named after the
// controls, an event queue filled from the widgets' signals, and get/set of texts and states.
#pragma once

#include <string>

class QWidget;
class QFont;
class QPoint;
class QRect;
class QSize;

namespace wendrix {

// One identifier per control, in creation order.
enum Gadget {
  TextTitle,
  ButtonSelectPath,
  StringPath,
  StringSearchText,
  ButtonSelectCommand,
  StringCommand,
  StringParameters,
  ButtonPathFilename,
  ButtonPath,
  ButtonFilename,
  ButtonStart,
  TextParameters,
  TextFilter,
  CheckboxProcessFiles,
  CheckboxProcessFolders,
  ButtonExtension,
  FrameFiles,
  FrameCommand,
  ButtonHome,
  ButtonTemp,
  FrameDuplication,
  ButtonSelectDestination,
  StringDestination,
  ButtonDuplicationDestination,
  ButtonLoadConfig,
  ButtonSaveConfig,
  GadgetCount
};

// The buttons that append a placeholder, in the order of the placeholder table.
inline constexpr Gadget kPlaceholderButtons[] = {ButtonPathFilename,
                                                 ButtonPath,
                                                 ButtonFilename,
                                                 ButtonExtension,
                                                 ButtonHome,
                                                 ButtonTemp,
                                                 ButtonDuplicationDestination};

// Event codes returned by WaitWindowEvent.
inline constexpr int kEventGadget = 13100;       // a control was used
inline constexpr int kEventMenu = 13101;         // a menu command (the Main window has no menu)
inline constexpr int kEventCloseWindow = 13116;  // the window's close was requested

// The Main window's identifier as OpenMainWindow returns it and EventWindow reports it.
inline constexpr int kMainWindowId = 1;

// Opens the Main window with a client area of width x height, centred on the available screen
// (x and y are overridden), with all its controls. Needs a QApplication. Returns kMainWindowId,
// or 0 without a QApplication. A second call returns the open window's identifier.
int OpenMainWindow(int x, int y, int width, int height);

// Closes and destroys the Main window (release step). Safe to call when none is open.
void CloseMainWindow();

// The Main window's widget, or nullptr.
QWidget* MainWindowWidget();

// The widget of a control, or nullptr.
QWidget* GadgetWidget(int gadget);

// Blocks until an event is queued and returns its code; the oldest queued event comes first.
// Returns kEventCloseWindow at once when no Main window is open.
int WaitWindowEvent();

// The window and the control of the event WaitWindowEvent returned last (-1 for no control).
int EventWindow();
int EventGadget();

// True when an event waits in the queue (it will be returned by the next WaitWindowEvent).
bool WindowEventPending();

// Text of a field, label, button, check box or frame ("&" as shown); "" for an unknown gadget.
std::string GetGadgetText(int gadget);
void SetGadgetText(int gadget, const std::string& text);

// Check box state: 1 checked, 0 not. Other gadgets give 0 and ignore the set.
int GetGadgetState(int gadget);
void SetGadgetState(int gadget, int state);

// Lets the window repaint and answer the window manager while a job run holds the main thread.
// User input (presses, typing, close requests) stays queued and is handled after the run.
void ProcessWindowWithoutInput();

// Where a window of outer size `outer` goes on `available`: centred, never above or left of the
// screen's top-left corner.
QPoint CentredPosition(const QRect& available, const QSize& outer);

// A bold "Tahoma" whose pixel size is points x logical DPI / 72, rounded.
QFont TahomaBoldFont(int points);

}  // namespace wendrix
