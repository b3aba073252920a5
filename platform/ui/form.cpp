#include "platform/ui/form.h"

#include <algorithm>

#include "platform/foundation/error.h"

namespace plat {

void Form::addPage(const std::string& page) {
  building_ = page;
  if (std::find(pageNames_.begin(), pageNames_.end(), page) == pageNames_.end()) pageNames_.push_back(page);
  // The first page is shown until another is asked for.
  if (page_.empty()) page_ = page;
  ++row_;
}

void Form::newRow() { ++row_; }

Form::Control& Form::add(Kind kind, const std::string& id, const std::string& text) {
  if (controls_.count(id)) throw Exception(kInternalInconsistencyException, "Form: identifier in use: " + id);
  Control& c = controls_[id];
  c.kind = kind;
  c.id = id;
  c.page = building_;
  c.text = text;
  order_.emplace_back(id, row_);
  built(c, row_);
  return c;
}

Form::Control& Form::get(const std::string& id) {
  auto it = controls_.find(id);
  if (it == controls_.end()) throw Exception(kInternalInconsistencyException, "Form: no control " + id);
  return it->second;
}

const Form::Control& Form::get(const std::string& id) const {
  auto it = controls_.find(id);
  if (it == controls_.end()) throw Exception(kInternalInconsistencyException, "Form: no control " + id);
  return it->second;
}

void Form::setColumns(const std::string& table, std::vector<TableColumn> columns) {
  Control& c = get(table);
  c.columns = std::move(columns);
  changed(c, Change::kRows);
}

void Form::setAction(const std::string& id, std::function<void()> action) { get(id).action = std::move(action); }

void Form::setText(const std::string& id, const std::string& text) {
  Control& c = get(id);
  if (c.text == text) return;
  c.text = text;
  changed(c, Change::kText);
}

void Form::setChecked(const std::string& id, bool checked) {
  Control& c = get(id);
  if (c.checked == checked) return;
  c.checked = checked;
  changed(c, Change::kChecked);
}

void Form::setEnabled(const std::string& id, bool enabled) {
  Control& c = get(id);
  if (c.enabled == enabled) return;
  c.enabled = enabled;
  changed(c, Change::kEnabled);
}

void Form::setVisible(const std::string& id, bool visible) {
  Control& c = get(id);
  if (c.visible == visible) return;
  c.visible = visible;
  changed(c, Change::kVisible);
}

void Form::setValue(const std::string& id, double value) {
  Control& c = get(id);
  c.value = std::clamp(value, 0.0, 100.0);
  changed(c, Change::kValue);
}

void Form::setItems(const std::string& id, std::vector<std::string> items) {
  Control& c = get(id);
  c.items = std::move(items);
  if (c.selected >= static_cast<int>(c.items.size())) c.selected = -1;
  changed(c, Change::kItems);
}

void Form::setSelected(const std::string& id, int index) {
  Control& c = get(id);
  c.selected = index >= 0 && index < static_cast<int>(c.items.size()) ? index : -1;
  changed(c, Change::kSelected);
}

void Form::setImage(const std::string& id, const std::string& image) {
  Control& c = get(id);
  c.image = image;
  changed(c, Change::kImage);
}

void Form::setRotating(const std::string& id, bool rotating) {
  Control& c = get(id);
  if (c.rotating == rotating) return;
  c.rotating = rotating;
  changed(c, Change::kImage);
}

void Form::setTextColor(const std::string& id, Color color) {
  Control& c = get(id);
  c.textColor = color;
  changed(c, Change::kTextColor);
}

Color Form::textColor(const std::string& id) const {
  const Control& c = get(id);
  return c.textColor.value_or(Color{0, 0, 0, 1});
}

void Form::setRows(const std::string& table, std::vector<TableRow> rows) {
  Control& c = get(table);
  c.rows = std::move(rows);
  changed(c, Change::kRows);
}

void Form::setLineLimit(const std::string& id, size_t limit) {
  Control& c = get(id);
  c.lineLimit = limit;
  if (limit != 0 && c.lines.size() > limit) {
    const size_t drop = c.lines.size() - limit;
    c.lines.erase(c.lines.begin(), c.lines.begin() + static_cast<long>(drop));
    c.firstLine += drop;
    changed(c, Change::kLog);
  }
}

void Form::appendLine(const std::string& id, LogLine line) {
  Control& c = get(id);
  c.lines.push_back(std::move(line));
  ++c.nextLine;
  if (c.lineLimit != 0 && c.lines.size() > c.lineLimit) {
    c.lines.pop_front();
    ++c.firstLine;
  }
  changed(c, Change::kLog);
}

void Form::setLogText(const std::string& id, const std::string& text) {
  Control& c = get(id);
  c.lines.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    c.lines.push_back({text.substr(start, end - start), {}, 12});
    start = end + 1;
  }
  if (c.lineLimit != 0)
    while (c.lines.size() > c.lineLimit) c.lines.pop_front();
  ++c.generation;
  c.firstLine = 0;
  c.nextLine = c.lines.size();
  changed(c, Change::kLog);
}

void Form::setEditable(const std::string& id, bool editable) { get(id).editable = editable; }

std::string Form::logText(const std::string& id) const {
  std::string out;
  for (const auto& line : get(id).lines) out += line.text + "\n";
  return out;
}

void Form::showPage(const std::string& page) {
  if (std::find(pageNames_.begin(), pageNames_.end(), page) == pageNames_.end()) return;
  page_ = page;
  pageShown(page);
}

bool Form::click(const std::string& id) {
  Control& c = get(id);
  if (!c.enabled || !c.visible || (!c.page.empty() && c.page != page_)) return false;
  if (c.kind == Kind::kCheckBox) {
    c.checked = !c.checked;
    changed(c, Change::kChecked);
  }
  auto action = c.action;  // the action may replace it
  if (action) action();
  return true;
}

bool Form::type(const std::string& id, const std::string& text) {
  Control& c = get(id);
  if (!c.enabled || !c.visible) return false;
  if (c.text != text) {
    c.text = text;
    changed(c, Change::kText);
  }
  auto action = c.action;
  if (action) action();
  return true;
}

bool Form::choose(const std::string& id, int index) {
  Control& c = get(id);
  if (!c.enabled || !c.visible || index < 0 || index >= static_cast<int>(c.items.size())) return false;
  c.selected = index;
  changed(c, Change::kSelected);
  auto action = c.action;
  if (action) action();
  return true;
}

}  // namespace plat
