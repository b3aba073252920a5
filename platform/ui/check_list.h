// A list of rows, each with an optional expand button, a three-state check
// box, an icon and a name, indented to show a tree. The owner keeps the
// tree and hands the visible rows over after every change. Main thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace plat {

struct CheckRow {
  double indent = 0;     // points from the left edge
  int icon = 2;          // 0 a root, 1 a file, 2 a folder
  std::string text;
  int check = 1;         // 1 checked, 0 unchecked, -1 mixed
  bool hasToggle = true;  // an expand button
  bool expanded = false;
  bool operator==(const CheckRow&) const = default;
};

class CheckList {
public:
  virtual ~CheckList() = default;
  virtual void setRows(std::vector<CheckRow> rows) = 0;
  virtual const std::vector<CheckRow>& rows() const = 0;
  // The expand button of the row was clicked.
  virtual void setToggleHandler(std::function<void(size_t row)> handler) = 0;
  // The check box of the row was clicked; `state` is the box's state after
  // the click (a mixed box becomes checked).
  virtual void setCheckHandler(std::function<void(size_t row, int state)> handler) = 0;
};

}  // namespace plat
