#pragma once
// The preview beside the list: the selected file's data as recovery would write it, read into
// memory on a second thread (at most kMaxPreviewBytes; a newer selection cancels an older
// read), shown as a picture, a PDF's first page, text or hex, with its facts below. Nothing
// is written anywhere.

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace relicta::content {
class ContentChecker;
class DataReader;
struct ContentResult;
}  // namespace relicta::content

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace relicta::gui {

inline constexpr uint64_t kMaxPreviewBytes = uint64_t{16} << 20;

class PreviewPane : public QWidget {
    Q_OBJECT

  public:
    explicit PreviewPane(QWidget* parent = nullptr);
    ~PreviewPane() override;

    // Shows found file `itemNum`; one past the table clears the pane.
    void ShowFile(uint32_t itemNum);
    void Clear();
    // Stops the read in hand and drops what it would show: the volume's state is then the
    // caller's again.
    void CancelAndWait();

    // What is shown, rendered off the GUI thread.
    struct Rendered;

  signals:
    // What the pane shows is final (tests wait for it).
    void previewReady();
    // The file's content check ran on its selection.
    void contentChecked();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void Present(const Rendered& rendered);
    void ShowFacts(uint32_t itemNum);
    void ShowError(const QString& text);
    void ShowPicture();
    void KeepContentCheck(uint32_t itemNum, content::ContentResult result);

    QStackedWidget* stack_;
    QLabel* picture_;
    QPlainTextEdit* text_;
    QPlainTextEdit* hex_;
    QLabel* error_;
    QLabel* facts_;
    QImage image_;  // decoded once, scaled to the pane on every resize
    std::unique_ptr<content::DataReader> reader_;
    std::unique_ptr<content::ContentChecker> checker_;
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    uint64_t generation_ = 0;  // a result of an older one is dropped
    uint32_t item_ = UINT32_MAX;
};

}  // namespace relicta::gui
