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

int CListCtrl::InsertItem(int item, const std::wstring& text) {
  LVITEMW row{};
  row.mask = LVIF_TEXT;
  row.iItem = item;
  row.pszText = const_cast<wchar_t*>(text.c_str());
  return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
}

BOOL CListCtrl::SetItemText(int item, int subItem, const std::wstring& text) {
  LVITEMW row{};
  row.iSubItem = subItem;
  row.pszText = const_cast<wchar_t*>(text.c_str());
  return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTW, item, reinterpret_cast<LPARAM>(&row)));
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
