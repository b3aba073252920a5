// The GTK views behind the toolkit (internal to platform/ui/gtk).
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/check_list.h"
#include "platform/ui/form.h"
#include "platform/ui/web_view.h"
#include "platform/ui/window.h"

namespace plat {

class GtkWebViewImpl : public WebView, public std::enable_shared_from_this<GtkWebViewImpl> {
public:
  // A new view in `context`; with `related`, a pop-up of that view.
  static std::shared_ptr<GtkWebViewImpl> make(WebKitWebContext* context, WebKitWebView* related = nullptr);
  ~GtkWebViewImpl() override;

  void load(const std::string& url) override;
  void reload() override;
  std::string currentURL() const override;
  std::string callerURL() const override { return caller_ ? *caller_ : currentURL(); }
  std::string title() const override;
  void setUserAgent(const std::string& agent) override;
  void setDrawsBackground(bool draws) override;
  void callFunction(const std::string& name, const Array& args) override;
  void setScriptHandler(ScriptHandler handler) override { handler_ = std::move(handler); }
  void setLoadStarted(std::function<void(const std::string&)> h) override { started_ = std::move(h); }
  void setLoadFinished(std::function<void(const std::string&)> h) override { finished_ = std::move(h); }
  void setLoadFailed(std::function<void(const std::string&, int)> h) override { failed_ = std::move(h); }
  void setTitleChanged(std::function<void(const std::string&)> h) override { titled_ = std::move(h); }
  void setScriptDialogHandler(std::function<bool(ScriptDialog, const std::string&)> h) override {
    dialogs_ = std::move(h);
  }
  void setPopupHandler(std::function<bool(std::shared_ptr<WebView>)> h) override { popups_ = std::move(h); }

  WebKitWebView* view() const { return view_; }
  GtkWidget* widget() const { return GTK_WIDGET(view_); }

private:
  GtkWebViewImpl() = default;
  void connect();
  void onMessage(JSCValue* value, WebKitScriptMessageReply* reply);
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
  static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer self);
  static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self);
  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer self);
  static gboolean onMessageReceived(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                                    gpointer self);

  WebKitWebView* view_ = nullptr;  // referenced
  WebKitUserContentManager* content_ = nullptr;
  std::string token_;  // known only to the top frame's script
  bool loadFailed_ = false;
  std::string committed_;                // the document in the top frame now
  std::optional<std::string> caller_;    // during a call: its document's address
  ScriptHandler handler_;
  std::function<void(const std::string&)> started_, finished_, titled_;
  std::function<void(const std::string&, int)> failed_;
  std::function<bool(ScriptDialog, const std::string&)> dialogs_;
  std::function<bool(std::shared_ptr<WebView>)> popups_;
};

class GtkCheckListImpl : public CheckList, public std::enable_shared_from_this<GtkCheckListImpl> {
public:
  GtkCheckListImpl();
  ~GtkCheckListImpl() override;
  void setRows(std::vector<CheckRow> rows) override;
  const std::vector<CheckRow>& rows() const override { return rows_; }
  void setToggleHandler(std::function<void(size_t)> h) override { toggle_ = std::move(h); }
  void setCheckHandler(std::function<void(size_t, int)> h) override { check_ = std::move(h); }
  GtkWidget* widget() const { return scroller_; }

private:
  void clicked(size_t row, bool toggle);
  std::vector<CheckRow> rows_;
  GtkWidget* scroller_ = nullptr;  // referenced
  GtkWidget* list_ = nullptr;
  std::function<void(size_t)> toggle_;
  std::function<void(size_t, int)> check_;
};

class GtkFormImpl : public Form {
public:
  GtkFormImpl();
  ~GtkFormImpl() override;
  GtkWidget* widget() const { return root_; }

protected:
  void built(const Control& c, int row) override;
  void changed(const Control& c, Change what) override;
  void pageShown(const std::string& page) override;

private:
  struct Widgets {
    GtkWidget* widget = nullptr;  // what is shown and hidden
    GtkWidget* inner = nullptr;   // the control itself
    GtkListStore* store = nullptr;
    double angle = 0;
    guint tick = 0;
    // The log lines in the text buffer: serials [bufFirst, bufNext) of bufGeneration.
    uint64_t bufFirst = 0, bufNext = 0, bufGeneration = ~uint64_t(0);
  };
  GtkWidget* container(const std::string& page);
  void mirror(const Control& c, Change what);
  void fillTable(const Control& c, Widgets& w);
  void fillLog(const Control& c, Widgets& w);
  static gboolean onDrawImage(GtkWidget* area, cairo_t* cr, gpointer self);
  static gboolean onTick(GtkWidget* area, GdkFrameClock* clock, gpointer self);

  GtkWidget* root_ = nullptr;   // referenced
  GtkWidget* stack_ = nullptr;
  std::map<std::string, GtkWidget*> pageBoxes_;
  std::map<std::pair<std::string, int>, GtkWidget*> rowBoxes_;
  std::map<std::string, Widgets> widgets_;
  std::map<GtkWidget*, std::string> ids_;
  bool updating_ = false;  // the program, not the person, changes a widget
};

class GtkWindowImpl : public Window, public std::enable_shared_from_this<GtkWindowImpl> {
public:
  static std::shared_ptr<GtkWindowImpl> make(const WindowSpec& spec);
  ~GtkWindowImpl() override;

  const std::string& name() const override { return name_; }
  void show() override;
  void orderOut() override;
  void close() override;
  bool isVisible() const override;
  bool isClosed() const override { return closed_; }
  std::string title() const override;
  void setTitle(const std::string& title) override;
  Size size() const override;
  void setSize(Size frame) override;
  double titleBarHeight() const override;
  bool isFullScreen() const override { return fullScreen_; }
  bool isMiniaturized() const override { return iconified_; }
  void deminiaturize() override;
  void setFloating(bool floating) override;
  void setFrameAutosaveName(const std::string& name) override;
  void setTopLeft(Point p) override;
  Point topLeft() const override;
  void setContent(std::shared_ptr<WebView> view) override;
  std::shared_ptr<WebView> content() const override { return content_; }
  void setCheckList(std::shared_ptr<CheckList> list) override;
  void setForm(std::shared_ptr<Form> form) override;
  std::shared_ptr<Form> form() const override { return form_; }
  void setLines(const std::vector<std::string>& lines) override;
  void setNotice(const std::string& text) override;
  void addButton(const std::string& title, std::function<void()> action) override;
  void setParent(std::shared_ptr<Window> parent) override;
  void setWillClose(std::function<void()> handler) override { willClose_ = std::move(handler); }
  void setResized(std::function<void()> handler) override { resized_ = std::move(handler); }

  GtkWindow* gtkWindow() const { return GTK_WINDOW(window_); }

private:
  GtkWindowImpl() = default;
  void setBody(GtkWidget* body);
  void closed();
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
  static void onDestroy(GtkWidget*, gpointer self);
  static gboolean onConfigure(GtkWidget*, GdkEventConfigure* event, gpointer self);
  static gboolean onState(GtkWidget*, GdkEventWindowState* event, gpointer self);

  std::string name_;
  GtkWidget* window_ = nullptr;  // referenced until destroyed
  GtkWidget* overlay_ = nullptr;
  GtkWidget* body_ = nullptr;
  GtkWidget* notice_ = nullptr;
  GtkWidget* buttons_ = nullptr;
  std::shared_ptr<WebView> content_;
  std::shared_ptr<CheckList> checkList_;
  std::shared_ptr<Form> form_;
  std::vector<std::function<void()>> actions_;
  std::string autosave_;
  int lastWidth_ = 0, lastHeight_ = 0;
  bool closed_ = false, fullScreen_ = false, iconified_ = false;
  std::function<void()> willClose_, resized_;
};

}  // namespace plat
