// A top-level window of the application. Windows are made by the toolkit
// (Toolkit::makeWindow) and hold at most one web view as their content.
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace plat {

class WebView;

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

struct WindowSpec {
  std::string name;   // what the window is, e.g. its controller's class name
  std::string title;
  Size size;
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
  virtual Size size() const = 0;
  // Places the window's top-left corner, in screen coordinates whose origin
  // is the top-left corner of the main screen.
  virtual void setTopLeft(Point p) = 0;
  virtual Point topLeft() const = 0;
  virtual void setContent(std::shared_ptr<WebView> view) = 0;
  virtual std::shared_ptr<WebView> content() const = 0;
  virtual void setWillClose(std::function<void()> handler) = 0;
};

}  // namespace plat
