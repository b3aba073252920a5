// The web view over WebKitGTK, with the page's script object `qvClient`.
#include <cmath>
#include <string_view>
#include <utility>

#include "platform/foundation/log.h"
#include "platform/foundation/run_loop.h"
#include "platform/system/secure_random.h"
#include "platform/ui/gtk/gtk_toolkit.h"
#include "platform/ui/gtk/gtk_views.h"

namespace plat {

namespace {

constexpr const char* kHandler = "qvbridge";
// Values deeper than this from a page are cut (a page can't make us recurse
// without end).
constexpr int kMaxDepth = 32;

// `qvClient`: any member is a call of that name; `qvClient.window` holds
// the calls "window.<name>". Each call posts its name, arguments and the
// token, which no other frame can read, and returns the answer's promise.
std::string bridgeScript(const std::string& token) {
  return R"JS((() => {
  const handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.qvbridge;
  if (!handler) return;
  const post = handler.postMessage.bind(handler);
  const token = ")JS" + token + R"JS(";
  const calls = (prefix) => new Proxy({}, {
    get(target, key) {
      if (typeof key !== "string" || key === "then") return undefined;
      if (prefix === "" && key === "window") return calls("window.");
      return (...args) => post({ token, name: prefix + key, args });
    }
  });
  Object.defineProperty(window, "qvClient", { value: calls(""), writable: false, configurable: false });
})();)JS";
}

Value fromJS(JSCValue* v, int depth) {
  if (!v || depth > kMaxDepth || jsc_value_is_null(v) || jsc_value_is_undefined(v)) return Value();
  if (jsc_value_is_boolean(v)) return Value(static_cast<bool>(jsc_value_to_boolean(v)));
  if (jsc_value_is_number(v)) {
    const double d = jsc_value_to_double(v);
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9007199254740992.0) {
      return Value(static_cast<long long>(d));
    }
    return Value(d);
  }
  if (jsc_value_is_string(v)) {
    char* s = jsc_value_to_string(v);
    Value out(std::string(s ? s : ""));
    g_free(s);
    return out;
  }
  if (jsc_value_is_array(v)) {
    JSCValue* length = jsc_value_object_get_property(v, "length");
    const int32_t n = jsc_value_to_int32(length);
    g_object_unref(length);
    Array out;
    for (int32_t i = 0; i < n && i < 100000; ++i) {
      JSCValue* item = jsc_value_object_get_property_at_index(v, static_cast<guint>(i));
      out.push_back(fromJS(item, depth + 1));
      g_object_unref(item);
    }
    return Value(std::move(out));
  }
  if (jsc_value_is_object(v)) {
    Dictionary out;
    gchar** keys = jsc_value_object_enumerate_properties(v);
    for (gchar** k = keys; k && *k; ++k) {
      JSCValue* item = jsc_value_object_get_property(v, *k);
      out.set(*k, fromJS(item, depth + 1));
      g_object_unref(item);
    }
    g_strfreev(keys);
    return Value(std::move(out));
  }
  return Value();
}

JSCValue* toJS(JSCContext* context, const Value& v, int depth) {
  if (depth > kMaxDepth) return jsc_value_new_null(context);
  switch (v.kind()) {
    case Value::Kind::Bool: return jsc_value_new_boolean(context, v.boolValue());
    case Value::Kind::Number:
    case Value::Kind::Decimal: return jsc_value_new_number(context, v.doubleValue());
    case Value::Kind::String: return jsc_value_new_string(context, v.string().c_str());
    case Value::Kind::Array: {
      JSCValue* out = jsc_value_new_array(context, G_TYPE_NONE);
      guint i = 0;
      for (const Value& item : v.array()) {
        JSCValue* js = toJS(context, item, depth + 1);
        jsc_value_object_set_property_at_index(out, i++, js);
        g_object_unref(js);
      }
      return out;
    }
    case Value::Kind::Dictionary: {
      JSCValue* out = jsc_value_new_object(context, nullptr, nullptr);
      for (const auto& [key, item] : v.dictionary()) {
        JSCValue* js = toJS(context, item, depth + 1);
        jsc_value_object_set_property(out, key.c_str(), js);
        g_object_unref(js);
      }
      return out;
    }
    default: return jsc_value_new_null(context);
  }
}

// A page function's argument as a value of the call: texts, numbers and
// flags cross as they are; anything else as null.
GVariant* toVariant(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Bool: return g_variant_new_boolean(v.boolValue());
    case Value::Kind::Number:
    case Value::Kind::Decimal: return g_variant_new_double(v.doubleValue());
    case Value::Kind::String: return g_variant_new_string(v.string().c_str());
    default: return nullptr;
  }
}

}  // namespace

std::shared_ptr<GtkWebViewImpl> GtkWebViewImpl::make(WebKitWebContext* context, WebKitWebView* related) {
  std::shared_ptr<GtkWebViewImpl> v(new GtkWebViewImpl());
  v->token_ = secureRandomHex(32);
  v->content_ = webkit_user_content_manager_new();
  WebKitUserScript* script =
      webkit_user_script_new(bridgeScript(v->token_).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(v->content_, script);
  webkit_user_script_unref(script);
  webkit_user_content_manager_register_script_message_handler_with_reply(v->content_, kHandler, nullptr);
  gpointer obj = related ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", related, "user-content-manager",
                                        v->content_, nullptr)
                         : g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager",
                                        v->content_, nullptr);
  v->view_ = WEBKIT_WEB_VIEW(g_object_ref_sink(obj));
  WebKitSettings* settings = webkit_web_view_get_settings(v->view_);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  v->connect();
  return v;
}

GtkWebViewImpl::~GtkWebViewImpl() {
  g_signal_handlers_disconnect_by_data(view_, this);
  g_signal_handlers_disconnect_by_data(content_, this);
  webkit_user_content_manager_unregister_script_message_handler(content_, kHandler);
  if (GtkWidget* parent = gtk_widget_get_parent(widget())) gtk_container_remove(GTK_CONTAINER(parent), widget());
  g_object_unref(view_);
  g_object_unref(content_);
}

void GtkWebViewImpl::connect() {
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
  g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
  g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
  g_signal_connect(view_, "notify::title", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                     auto* self = static_cast<GtkWebViewImpl*>(data);
                     auto keep = self->shared_from_this();
                     if (self->titled_) self->titled_(self->title());
                   }),
                   this);
  // Pages have no context menu.
  g_signal_connect(view_, "context-menu", G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                                         WebKitHitTestResult*, gpointer) -> gboolean { return TRUE; }),
                   nullptr);
  g_signal_connect(content_, "script-message-with-reply-received::qvbridge", G_CALLBACK(onMessageReceived), this);
}

void GtkWebViewImpl::load(const std::string& url) { webkit_web_view_load_uri(view_, url.c_str()); }

void GtkWebViewImpl::reload() { webkit_web_view_reload(view_); }

std::string GtkWebViewImpl::currentURL() const {
  const gchar* uri = webkit_web_view_get_uri(view_);
  return uri ? uri : "";
}

std::string GtkWebViewImpl::title() const {
  const gchar* t = webkit_web_view_get_title(view_);
  return t ? t : "";
}

namespace {
// A header value of products ("name/version") and comments in parentheses,
// as WebKit takes it: ";" only inside a comment.
bool isProductList(const std::string& agent) {
  int depth = 0;
  for (unsigned char c : agent) {
    if (c == '(') ++depth;
    else if (c == ')') --depth;
    else if (c < 0x20 || c >= 0x7F || (depth == 0 && std::string_view("\"(),;:<=>?@[\\]{}").find(c) != std::string_view::npos)) {
      return false;
    }
    if (depth < 0) return false;
  }
  return depth == 0;
}
}  // namespace

void GtkWebViewImpl::setUserAgent(const std::string& agent) {
  // WebKit sends only a well-formed header; an agent that is not one goes
  // whole inside a comment, where pages still find it.
  const std::string value = isProductList(agent) ? agent : "Quorva (" + agent + ")";
  webkit_settings_set_user_agent(webkit_web_view_get_settings(view_), value.c_str());
}

void GtkWebViewImpl::setDrawsBackground(bool draws) {
  GdkRGBA color{1, 1, 1, draws ? 1.0 : 0.0};
  webkit_web_view_set_background_color(view_, &color);
}

void GtkWebViewImpl::callFunction(const std::string& name, const Array& args) {
  // The body is always this text; name and arguments come in as values.
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&b, "{sv}", "name", g_variant_new_string(name.c_str()));
  int count = 0;
  for (const Value& a : args) {
    GVariant* v = toVariant(a);
    const std::string key = "a" + std::to_string(count++);
    if (v) g_variant_builder_add(&b, "{sv}", key.c_str(), v);
  }
  // The named values reach the body as its variables a0, a1, ...
  std::string body = "const f = window[name];\nif (typeof f !== 'function') return null;\nconst list = [];\n";
  for (int i = 0; i < count; ++i) {
    const std::string key = "a" + std::to_string(i);
    body += "list.push(typeof " + key + " === 'undefined' ? null : " + key + ");\n";
  }
  body += "f.apply(window, list);\nreturn null;";
  webkit_web_view_call_async_javascript_function(view_, body.c_str(), -1, g_variant_builder_end(&b), nullptr, nullptr,
                                                 nullptr, nullptr, nullptr);
}

void GtkWebViewImpl::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<GtkWebViewImpl*>(data);
  auto keep = self->shared_from_this();  // a handler may let go of the view
  const std::string uri = self->currentURL();
  if (event == WEBKIT_LOAD_STARTED) {
    self->loadFailed_ = false;
    if (self->started_) self->started_(uri);
  } else if (event == WEBKIT_LOAD_COMMITTED) {
    self->committed_ = uri;
  } else if (event == WEBKIT_LOAD_FINISHED) {
    if (!self->loadFailed_ && self->finished_) self->finished_(uri);
  }
  (void)view;
}

gboolean GtkWebViewImpl::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
  auto* self = static_cast<GtkWebViewImpl*>(data);
  auto keep = self->shared_from_this();
  self->loadFailed_ = true;
  const int code = GtkToolkit::loadErrorCode(error->domain, error->code);
  if (code == kWebLoadCancelled) return FALSE;
  if (!self->failed_) return FALSE;
  const std::string failed = uri ? uri : "";
  // Loading another page from inside the signal would race WebKit's own
  // end of this load.
  std::weak_ptr<GtkWebViewImpl> weak = keep;
  MainThread::perform([weak, failed, code] {
    if (auto v = weak.lock()) {
      if (v->failed_) v->failed_(failed, code);
    }
  });
  return TRUE;
}

gboolean GtkWebViewImpl::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  auto* self = static_cast<GtkWebViewImpl*>(data);
  auto keep = self->shared_from_this();
  const WebKitScriptDialogType type = webkit_script_dialog_get_dialog_type(dialog);
  const std::string text = webkit_script_dialog_get_message(dialog);
  ScriptDialog kind;
  switch (type) {
    case WEBKIT_SCRIPT_DIALOG_ALERT: kind = ScriptDialog::kAlert; break;
    case WEBKIT_SCRIPT_DIALOG_CONFIRM: kind = ScriptDialog::kConfirm; break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM: kind = ScriptDialog::kBeforeUnload; break;
    default: return FALSE;  // a prompt: WebKit's own
  }
  const bool yes = self->dialogs_ ? self->dialogs_(kind, text) : false;
  if (kind != ScriptDialog::kAlert) webkit_script_dialog_confirm_set_confirmed(dialog, yes);
  return TRUE;
}

GtkWidget* GtkWebViewImpl::onCreate(WebKitWebView* view, WebKitNavigationAction*, gpointer data) {
  auto* self = static_cast<GtkWebViewImpl*>(data);
  auto keep = self->shared_from_this();
  if (!self->popups_) return nullptr;
  auto popup = GtkWebViewImpl::make(nullptr, view);
  if (!self->popups_(popup)) return nullptr;
  // WebKit takes the widget (floating for it) and loads the request in it.
  return popup->widget();
}

gboolean GtkWebViewImpl::onMessageReceived(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                                           gpointer data) {
  static_cast<GtkWebViewImpl*>(data)->onMessage(value, reply);
  return TRUE;
}

void GtkWebViewImpl::onMessage(JSCValue* value, WebKitScriptMessageReply* reply) {
  JSCContext* context = jsc_value_get_context(value);
  const Value message = fromJS(value, 0);
  // Only the top frame's script knows the token.
  if (message["token"].string() != token_ || !message["name"].isString() || !message["args"].isArray()) {
    JSCValue* none = jsc_value_new_null(context);
    webkit_script_message_reply_return_value(reply, none);
    g_object_unref(none);
    return;
  }
  webkit_script_message_reply_ref(reply);
  g_object_ref(context);
  std::weak_ptr<GtkWebViewImpl> weak = shared_from_this();
  const std::string name = message["name"].string();
  const Array args = message["args"].array();
  // The sender is the document committed now: by the time the call is
  // answered the view may show another page, which must not lend the call
  // its trust.
  const std::string from = committed_;
  // Answered from the main loop, not inside WebKit's message delivery: a
  // call may run a modal window or load another page.
  MainThread::perform([weak, name, args, reply, context, from] {
    Value answer;
    if (auto self = weak.lock()) {
      auto handler = self->handler_;
      auto previous = std::exchange(self->caller_, from);  // calls may nest through modal loops
      if (handler) answer = handler(name, args);
      self->caller_ = std::move(previous);
    }
    JSCValue* js = toJS(context, answer, 0);
    webkit_script_message_reply_return_value(reply, js);
    g_object_unref(js);
    webkit_script_message_reply_unref(reply);
    g_object_unref(context);
  });
}

}  // namespace plat
