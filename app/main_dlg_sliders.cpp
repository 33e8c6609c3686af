// The parameter sliders and the synth selector of the main window.
#include <array>

#include "app/engines.h"
#include "app/main_dlg.h"

#include <commctrl.h>

#include "app/resource.h"
#include "app/slider_mapping.h"

namespace {

constexpr int kSliderCount = 17;

struct SliderSetup {
  int id;
  int32_t minimum;
  int32_t maximum;
  int32_t initial;
};

constexpr std::array<SliderSetup, kSliderCount> kSliders = [] {
  std::array<SliderSetup, kSliderCount> rows{};
  for (int i = 0; i < kSliderCount; ++i) rows[i] = {IDC_SLIDER0 + i, 0, 100, 0};
  return rows;
}();

int labelId(int index) {
  return index == 0 ? IDC_LABEL0 : IDC_LABEL1 + index - 1;
}

}  // namespace

int32_t CMainDlg::SliderParamIndex(int id) {
  return id >= IDC_SLIDER0 && id <= IDC_SLIDER16 ? id - IDC_SLIDER0 : -1;
}

void CMainDlg::SetupSliders() {
  for (const SliderSetup& row : kSliders) {
    SendDlgItemMessage(row.id, TBM_SETRANGEMIN, FALSE, row.minimum);
    SendDlgItemMessage(row.id, TBM_SETRANGEMAX, FALSE, row.maximum);
    SendDlgItemMessage(row.id, TBM_SETPOS, TRUE, row.maximum + row.minimum - row.initial);
  }
  SetDlgItemText(labelId(0), "pitch");
  SetDlgItemText(labelId(1), "audio in");
  for (int i = 2; i < kSliderCount; ++i) SetDlgItemText(labelId(i), "-");

  for (const SliderSetup& row : kSliders) {
    const int32_t p = SliderParamIndex(row.id);
    if (p < 0 || !m_pRack || m_nSlot < 0) continue;
    const int32_t r = row.maximum > row.minimum ? row.maximum : row.minimum;
    if (r > 0) {
      m_pRack->setParameter(m_nSlot, p, static_cast<float>(row.initial) / static_cast<float>(r));
    }
  }
}

void CMainDlg::OnVScroll(UINT, UINT, HWND control) {
  if (!control) return;
  const int32_t p = SliderParamIndex(GetDlgCtrlID(control));
  if (p < 0) return;
  const auto rangeMax = static_cast<int32_t>(SendMessageA(control, TBM_GETRANGEMAX, 0, 0));
  const auto rangeMin = static_cast<int32_t>(SendMessageA(control, TBM_GETRANGEMIN, 0, 0));
  const bool hasScale = rangeMax != 0 || rangeMin != 0;
  if (m_pRack && hasScale && m_nSlot >= 0) {
    // The thumb's current place, not the notification's, which is only valid while dragging.
    const auto pos = static_cast<int32_t>(SendMessageA(control, TBM_GETPOS, 0, 0));
    m_pRack->setParameter(m_nSlot, p, sliderValue(rangeMin, rangeMax, pos));
  }
}

void CMainDlg::RefreshSliders() {
  if (!m_pRack || m_nSlot < 0) return;
  for (int32_t i = 0; i < m_nParamCount && i < kSliderCount; ++i) {
    const int id = IDC_SLIDER0 + i;
    const auto rangeMax = static_cast<int32_t>(SendDlgItemMessage(id, TBM_GETRANGEMAX, 0, 0));
    const auto rangeMin = static_cast<int32_t>(SendDlgItemMessage(id, TBM_GETRANGEMIN, 0, 0));
    const int32_t pos = sliderPosition(rangeMin, rangeMax, m_pRack->getParameter(m_nSlot, i));
    SendDlgItemMessage(id, TBM_SETPOS, TRUE, clampToRange(rangeMin, rangeMax, pos));
  }
}

void CMainDlg::OnHScroll(UINT, UINT, HWND control) {
  if (!control || GetDlgCtrlID(control) != IDC_SYNTH_SELECT) return;
  const LRESULT answer = SendMessageA(control, UDM_GETPOS, 0, 0);
  if (HIWORD(answer) != 0) return;  // the buddy holds no valid number
  const int32_t slot = static_cast<int16_t>(LOWORD(answer));
  if (slot != m_nSlot) {
    m_nSlot = slot;
    RefreshSliders();
  }
}
