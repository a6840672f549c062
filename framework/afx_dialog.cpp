#include <algorithm>
#include <vector>

#include "framework/afx.h"

std::wstring CWnd::GetWindowText() const {
  const int length = ::GetWindowTextLengthW(m_hWnd);
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  const int copied = ::GetWindowTextW(m_hWnd, buffer.data(), length + 1);
  return std::wstring(buffer.data(), copied > 0 ? copied : 0);
}

int CListCtrl::InsertColumn(int column, const wchar_t* heading, int format, int width) {
  LVCOLUMNW col{};
  col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  col.fmt = format;
  col.cx = width;
  col.pszText = const_cast<wchar_t*>(heading);
  col.iSubItem = column;
  return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&col)));
}

int ListRows::Insert(int item, const std::wstring& text) {
  std::lock_guard<std::mutex> lock(m_lock);
  const int end = static_cast<int>(m_rows.size());
  const int row = item < 0 || item > end ? end : item;
  m_rows.insert(m_rows.begin() + row, std::vector<std::wstring>{text});
  // Every row from here on shows another text now.
  Changed(row);
  Changed(end);
  return row;
}

void ListRows::SetText(int item, int subItem, const std::wstring& text) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (item < 0 || item >= static_cast<int>(m_rows.size()) || subItem < 0) return;
  std::vector<std::wstring>& row = m_rows[static_cast<size_t>(item)];
  if (row.size() <= static_cast<size_t>(subItem)) row.resize(static_cast<size_t>(subItem) + 1);
  row[static_cast<size_t>(subItem)] = text;
  Changed(item);
}

void ListRows::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_rows.clear();
  m_changedFirst = m_changedLast = -1;
}

int ListRows::Count() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return static_cast<int>(m_rows.size());
}

void ListRows::CopyText(int item, int subItem, wchar_t* buffer, int capacity) const {
  if (!buffer || capacity <= 0) return;
  std::lock_guard<std::mutex> lock(m_lock);
  size_t length = 0;
  if (item >= 0 && item < static_cast<int>(m_rows.size()) && subItem >= 0) {
    const std::vector<std::wstring>& row = m_rows[static_cast<size_t>(item)];
    if (static_cast<size_t>(subItem) < row.size()) {
      const std::wstring& text = row[static_cast<size_t>(subItem)];
      length = std::min(text.size(), static_cast<size_t>(capacity) - 1);
      text.copy(buffer, length);
    }
  }
  buffer[length] = L'\0';
}

int ListRows::Find(int start, const std::wstring& text, bool partial, bool wrap) const {
  std::lock_guard<std::mutex> lock(m_lock);
  const int count = static_cast<int>(m_rows.size());
  if (start < 0 || start > count) start = 0;
  const int length = static_cast<int>(text.size());
  for (int step = 0; step < (wrap ? count : count - start); ++step) {
    const int item = (start + step) % count;
    const std::wstring& name = m_rows[static_cast<size_t>(item)][0];
    if (static_cast<int>(name.size()) < length || (!partial && static_cast<int>(name.size()) != length)) {
      continue;
    }
    if (::CompareStringOrdinal(name.c_str(), length, text.c_str(), length, TRUE) == CSTR_EQUAL) return item;
  }
  return -1;
}

bool ListRows::TakeChanged(int& first, int& last) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_changedFirst < 0) return false;
  first = m_changedFirst;
  last = m_changedLast;
  m_changedFirst = m_changedLast = -1;
  return true;
}

void ListRows::Changed(int item) {
  if (m_changedFirst < 0 || item < m_changedFirst) m_changedFirst = item;
  if (item > m_changedLast) m_changedLast = item;
}

int CListCtrl::InsertItem(int item, const std::wstring& text) {
  const int row = m_rows.Insert(item, text);
  ShowRows();
  return row;
}

BOOL CListCtrl::SetItemText(int item, int subItem, const std::wstring& text) {
  if (item < 0 || item >= m_rows.Count()) return FALSE;
  m_rows.SetText(item, subItem, text);
  ShowRows();
  return TRUE;
}

std::wstring CListCtrl::GetItemText(int item, int subItem) const {
  std::vector<wchar_t> buffer(1024);
  LVITEMW row{};
  row.iSubItem = subItem;
  row.pszText = buffer.data();
  row.cchTextMax = static_cast<int>(buffer.size());
  const auto copied = SendMessage(LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&row));
  return std::wstring(buffer.data(), static_cast<size_t>(copied));
}

BOOL CListCtrl::DeleteAllItems() {
  m_rows.Clear();
  return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS));
}

void CListCtrl::ShowRows() {
  const int count = m_rows.Count();
  if (count != GetItemCount()) {
    SendMessage(LVM_SETITEMCOUNT, count, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  }
  int first = 0;
  int last = 0;
  // The control redraws only those of the rows that it shows.
  if (m_rows.TakeChanged(first, last)) SendMessage(LVM_REDRAWITEMS, first, last);
}

bool CListCtrl::AnswerNotify(const NMHDR* header, LRESULT& result) const {
  if (!header || header->hwndFrom != m_hWnd) return false;
  if (header->code == LVN_GETDISPINFOW) {
    LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header))->item;
    // Copied into the control's own buffer rather than pointed at: a reader
    // in another process gets the text only that way.
    if ((item.mask & LVIF_TEXT) && item.pszText != LPSTR_TEXTCALLBACKW) {
      m_rows.CopyText(item.iItem, item.iSubItem, item.pszText, item.cchTextMax);
    }
    result = 0;
    return true;
  }
  if (header->code == LVN_ODFINDITEMW) {
    // Typing a name's first letters selects its row, as in a list that holds its texts.
    const auto* find = reinterpret_cast<const NMLVFINDITEMW*>(header);
    const LVFINDINFOW& info = find->lvfi;
    result = -1;
    if ((info.flags & (LVFI_STRING | LVFI_PARTIAL)) && info.psz) {
      result = m_rows.Find(find->iStart, info.psz, (info.flags & LVFI_PARTIAL) != 0,
                           (info.flags & LVFI_WRAP) != 0);
    }
    return true;
  }
  return false;
}

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_parent(parent) {}

INT_PTR CDialog::DoModal() {
  const HWND owner = m_parent ? m_parent->GetSafeHwnd() : nullptr;
  return ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), owner,
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog() {
  DoDataExchange();
  return TRUE;
}

void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
    self->m_hWnd = hwnd;
    return self->OnInitDialog();
  }
  // Messages sent while the window is created (WM_SETFONT) come before
  // WM_INITDIALOG and get the default handling.
  auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return FALSE;
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->m_hWnd = nullptr;
    return FALSE;
  }
  return self->Dispatch(message, wParam, lParam);
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  if (const MessageMap* map = GetMessageMap()) {
    for (size_t i = 0; i < map->count; ++i) {
      const MessageEntry& entry = map->entries[i];
      if (entry.message != message) continue;
      if (message == WM_COMMAND &&
          (entry.notifyCode != HIWORD(wParam) || entry.id != LOWORD(wParam))) {
        continue;
      }
      return (this->*entry.handler)(wParam, lParam);
    }
  }
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
    if (LOWORD(wParam) == IDOK) {
      OnOK();
      return TRUE;
    }
    if (LOWORD(wParam) == IDCANCEL) {
      OnCancel();
      return TRUE;
    }
  }
  return FALSE;
}
