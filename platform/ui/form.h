// A window's content made of plain controls (labels, buttons, check boxes,
// text fields, pop-up lists, progress bars, images, a table and a log),
// laid out in rows, optionally on pages of which one is shown at a time.
// Every control has an identifier its owner names it by.
//
// The form keeps every control's state itself; a desktop form mirrors each
// change onto its widgets and hands what the person does back through the
// same entry points a headless test uses (click, type, choose). Setting a
// state from the program never runs the control's action. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plat {

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
  bool operator==(const Color&) const = default;
};

struct TableColumn {
  std::string identifier;
  std::string title;
  double width = 100;
};

struct TableCell {
  std::string text;
  // A file name whose type's icon the cell shows; empty: no icon.
  std::string fileIcon;
  bool operator==(const TableCell&) const = default;
};
using TableRow = std::vector<TableCell>;

struct LogLine {
  std::string text;
  Color color;
  double fontSize = 12;
  bool operator==(const LogLine&) const = default;
};

class Form {
public:
  enum class Kind {
    kLabel,
    kButton,
    kCheckBox,
    kEntry,
    kSecretEntry,  // a text field that shows dots
    kCombo,        // a pop-up list of items
    kProgress,     // 0 to 100
    kImage,        // a named image; it may rotate
    kTable,
    kLog,          // lines of coloured text, at most lineLimit kept
  };

  struct Control {
    Kind kind = Kind::kLabel;
    std::string id;
    std::string page;  // "" on every page
    std::string text;  // label, title, field text
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    bool editable = true;
    double value = 0;
    std::vector<std::string> items;
    int selected = -1;
    std::string image;
    bool rotating = false;
    std::optional<Color> textColor;
    std::vector<TableColumn> columns;
    std::vector<TableRow> rows;
    std::deque<LogLine> lines;
    size_t lineLimit = 0;  // 0: no limit
    // Serials of the log's lines: the first kept and the next to come; a
    // new generation when the whole text was replaced. A desktop log adds
    // and drops only what changed.
    uint64_t firstLine = 0, nextLine = 0, generation = 0;
    std::function<void()> action;
  };

  // What a state change touched, for the desktop's mirror.
  enum class Change { kText, kChecked, kEnabled, kVisible, kValue, kItems, kSelected, kImage, kTextColor, kRows, kLog };

  Form() = default;
  virtual ~Form() = default;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  // ---- Building ----
  // The controls added from now on go onto this page (made on first use).
  void addPage(const std::string& page);
  // The controls added from now on start a new row.
  void newRow();
  // A second control with an identifier in use is a programming error.
  Control& add(Kind kind, const std::string& id, const std::string& text = "");
  void setColumns(const std::string& table, std::vector<TableColumn> columns);
  void setAction(const std::string& id, std::function<void()> action);
  bool has(const std::string& id) const { return controls_.count(id) != 0; }

  // ---- State ----
  void setText(const std::string& id, const std::string& text);
  std::string text(const std::string& id) const { return get(id).text; }
  void setChecked(const std::string& id, bool checked);
  bool checked(const std::string& id) const { return get(id).checked; }
  void setEnabled(const std::string& id, bool enabled);
  bool enabled(const std::string& id) const { return get(id).enabled; }
  void setVisible(const std::string& id, bool visible);
  bool visible(const std::string& id) const { return get(id).visible; }
  void setValue(const std::string& id, double value);
  double value(const std::string& id) const { return get(id).value; }
  void setItems(const std::string& id, std::vector<std::string> items);
  void setSelected(const std::string& id, int index);
  int selected(const std::string& id) const { return get(id).selected; }
  void setImage(const std::string& id, const std::string& image);
  const std::string& image(const std::string& id) const { return get(id).image; }
  // Turns the image round once a second, for ever, until stopped.
  void setRotating(const std::string& id, bool rotating);
  bool rotating(const std::string& id) const { return get(id).rotating; }
  // The colour of a button's title over its whole length.
  void setTextColor(const std::string& id, Color color);
  // The title's colour; the controls' text colour when none was set.
  Color textColor(const std::string& id) const;
  void setRows(const std::string& table, std::vector<TableRow> rows);
  const std::vector<TableRow>& rows(const std::string& table) const { return get(table).rows; }

  // ---- Logs ----
  // Past the limit the oldest lines go first.
  void setLineLimit(const std::string& id, size_t limit);
  void appendLine(const std::string& id, LogLine line);
  // Replaces the whole text (one line per line break).
  void setLogText(const std::string& id, const std::string& text);
  void setEditable(const std::string& id, bool editable);
  bool editable(const std::string& id) const { return get(id).editable; }
  std::string logText(const std::string& id) const;
  size_t lineCount(const std::string& id) const { return get(id).lines.size(); }

  // ---- Pages ----
  void showPage(const std::string& page);
  const std::string& currentPage() const { return page_; }
  const std::vector<std::string>& pages() const { return pageNames_; }

  // ---- What the person does (false when the control is disabled or hidden) ----
  // A button is pressed, a check box flips and runs its action.
  bool click(const std::string& id);
  // A text field gets the text (its action runs).
  bool type(const std::string& id, const std::string& text);
  // A pop-up list's item is chosen (its action runs).
  bool choose(const std::string& id, int index);

  const Control& control(const std::string& id) const { return get(id); }
  // Identifiers in the order added, each with the row it sits in.
  const std::vector<std::pair<std::string, int>>& order() const { return order_; }

protected:
  virtual void built(const Control&, int /*row*/) {}
  virtual void changed(const Control&, Change) {}
  virtual void pageShown(const std::string&) {}
  Control& get(const std::string& id);
  const Control& get(const std::string& id) const;

private:
  std::map<std::string, Control> controls_;
  std::vector<std::pair<std::string, int>> order_;
  std::vector<std::string> pageNames_;
  std::string building_;  // page being built
  std::string page_;      // page shown
  int row_ = 0;
};

}  // namespace plat
