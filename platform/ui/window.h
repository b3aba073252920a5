// A top-level window of the application. Windows are made by the toolkit
// (Toolkit::makeWindow) and hold one content: a web view, a check list, or
// a few lines of text; buttons may sit under any of them. Main thread only.
//
// Sizes: a window's frame is its content plus its title bar, as the
// desktop draws it (titleBarHeight(), 0 where the desktop draws none).
// WindowSpec::size is the content's size.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

class WebView;
class CheckList;
class Form;

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

// In screen coordinates whose origin is the main screen's top-left corner.
struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

struct WindowSpec {
  std::string name;   // what the window is, e.g. its controller's class name
  std::string title;
  Size size;          // of the content
};

class Window {
public:
  virtual ~Window() = default;
  virtual const std::string& name() const = 0;
  // Shows the window in front of the others and gives it the keyboard.
  virtual void show() = 0;
  // Hides the window; it keeps its content and can be shown again.
  virtual void orderOut() = 0;
  // Closes the window for good; the will-close handler runs first, once.
  virtual void close() = 0;
  virtual bool isVisible() const = 0;
  virtual bool isClosed() const = 0;
  virtual std::string title() const = 0;
  virtual void setTitle(const std::string& title) = 0;
  // The frame's size: the content plus the title bar.
  virtual Size size() const = 0;
  virtual void setSize(Size frame) = 0;
  virtual double titleBarHeight() const = 0;
  virtual bool isFullScreen() const = 0;
  virtual bool isMiniaturized() const = 0;
  virtual void deminiaturize() = 0;
  // Kept above the other windows of the desktop.
  virtual void setFloating(bool floating) = 0;
  // The frame is saved under the name when it changes and restored now.
  virtual void setFrameAutosaveName(const std::string& name) = 0;
  // Places the window's top-left corner, in screen coordinates whose origin
  // is the top-left corner of the main screen.
  virtual void setTopLeft(Point p) = 0;
  virtual Point topLeft() const = 0;
  virtual void setContent(std::shared_ptr<WebView> view) = 0;
  virtual std::shared_ptr<WebView> content() const = 0;
  virtual void setCheckList(std::shared_ptr<CheckList> list) = 0;
  // A form of controls as the content.
  virtual void setForm(std::shared_ptr<Form> form) = 0;
  virtual std::shared_ptr<Form> form() const = 0;
  // Lines of text as the content (a window without a web view).
  virtual void setLines(const std::vector<std::string>& lines) = 0;
  // A short text over the middle of the content (a loading label); empty
  // hides it.
  virtual void setNotice(const std::string& text) = 0;
  // A button under the content; the first added is the default one.
  virtual void addButton(const std::string& title, std::function<void()> action) = 0;
  // Shown attached to `parent` (a sheet): above it, and closed with it.
  virtual void setParent(std::shared_ptr<Window> parent) = 0;
  virtual void setWillClose(std::function<void()> handler) = 0;
  // After the person (or setSize) changed the frame.
  virtual void setResized(std::function<void()> handler) = 0;
};

}  // namespace plat
