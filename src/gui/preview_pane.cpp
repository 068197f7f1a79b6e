#include "gui/preview_pane.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <optional>

#include "content/content_check.h"
#include "recover/found_file_data.h"
#include "recover/reassembly.h"
#include "scan/found_files.h"
#include "view/file_preview.h"
#include "view/list_filter.h"

#ifdef RELICTA_HAVE_QTPDF
#include <QEventLoop>
#include <QPdfDocument>
#include <QTimer>
#endif

namespace relicta::gui {

struct PreviewPane::Rendered {
    view::PreviewKind kind = view::PreviewKind::Hex;
    std::optional<content::ContentResult> check;  // of the whole data, when it was read whole
    QImage image;                                 // a picture or a PDF's first page
    QString text;                                 // text, or hex
    QString error;
    bool cancelled = false;
};

namespace {

// Pictures are decoded no larger than this on their long side (JPEG scales as it decodes):
// the pane never shows more, and a 50-megapixel photo decodes in a fraction of the time.
constexpr int kMaxDecodedSide = 2048;
constexpr int kPdfPageWidth = 800;
constexpr int kMaxPdfPageHeight = 4 * kPdfPageWidth;
constexpr int kPdfLoadWaitMs = 2000;
enum Page { kPicturePage, kTextPage, kHexPage };

QImage DecodePicture(const QByteArray& bytes, QString& error) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);  // EXIF orientation
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > kMaxDecodedSide || size.height() > kMaxDecodedSide)) {
        reader.setScaledSize(size.scaled(kMaxDecodedSide, kMaxDecodedSide, Qt::KeepAspectRatio));
    }
    QImage image = reader.read();
    if (image.isNull()) {
        error = "The picture cannot be decoded: " + reader.errorString();
    }
    return image;
}

QImage RenderPdfPage(const QByteArray& bytes, QString& error) {
#ifdef RELICTA_HAVE_QTPDF
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument document;
    document.load(&buffer);
    if (document.status() == QPdfDocument::Status::Loading) {
        QEventLoop wait;
        QObject::connect(&document, &QPdfDocument::statusChanged, &wait, &QEventLoop::quit);
        QTimer::singleShot(kPdfLoadWaitMs, &wait, &QEventLoop::quit);
        wait.exec();
    }
    if (document.status() != QPdfDocument::Status::Ready || document.pageCount() < 1) {
        error = "The PDF cannot be read";
        return {};
    }
    const QSizeF points = document.pagePointSize(0);
    if (!(points.width() > 0 && points.height() > 0) || !std::isfinite(points.width()) ||
        !std::isfinite(points.height())) {
        error = "The PDF's first page has no size";
        return {};
    }
    // A damaged page size may be any shape: its height is bounded before it becomes an int.
    const double height = std::clamp(kPdfPageWidth * points.height() / points.width(), 1.0,
                                     double{kMaxPdfPageHeight});
    QImage page = document.render(0, QSize(kPdfPageWidth, static_cast<int>(height)));
    if (page.isNull()) {
        error = "The PDF's first page cannot be drawn";
    }
    return page;
#else
    (void)bytes;
    error = "PDF pages cannot be shown in this build";
    return {};
#endif
}

// What a file's reading and checking needs to know of it, taken on the GUI thread.
struct FileToRender {
    std::string name;
    bool picture = false;                        // the name promises one
    content::ContentChecker* checker = nullptr;  // when it is still to be checked
};

// Runs on the pane's second thread: reads, checks and decodes, never touching the volume's
// state.
PreviewPane::Rendered Render(content::DataReader& data, const FileToRender& file,
                             const std::atomic<bool>& cancel) {
    PreviewPane::Rendered out;
    const recover::DataHead head = recover::ReadDataHead(data, kMaxPreviewBytes, cancel);
    if (head.cancelled) {
        out.cancelled = true;
        return out;
    }
    const std::span<const uint8_t> bytes(head.bytes);
    if (file.checker != nullptr && head.readable && bytes.size() == head.size) {
        content::MemoryReader whole(bytes);
        out.check = file.checker->Check(file.name, whole);
    }
    const bool picture = file.picture;
    out.kind = view::PreviewKindOf(bytes);
    const QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<qsizetype>(bytes.size()));
    if (out.kind == view::PreviewKind::Image) {
        out.image = DecodePicture(raw, out.error);
    } else if (out.kind == view::PreviewKind::Pdf) {
        out.image = RenderPdfPage(raw, out.error);
    } else if (out.kind == view::PreviewKind::Text) {
        out.text = QString::fromStdString(view::PreviewText(bytes));
    }
    if (picture && out.kind != view::PreviewKind::Image && out.kind != view::PreviewKind::Pdf) {
        out.error = "The data does not begin as the picture the name promises";
    }
    if (out.image.isNull() && out.kind != view::PreviewKind::Text) {
        out.kind = view::PreviewKind::Hex;
        out.text = QString::fromStdString(view::HexDump(bytes));
    }
    if (!head.readable) {
        out.error += QString(out.error.isEmpty() ? "" : "\n") +
                     QString("The data cannot be read past byte %1").arg(head.bytes.size());
    } else if (head.size > head.bytes.size() && out.kind == view::PreviewKind::Image) {
        out.error = QString("Only the first %1 MiB were read").arg(kMaxPreviewBytes >> 20);
    }
    return out;
}

QString FactsHtml(const std::vector<view::PreviewFact>& facts) {
    QString html = "<table>";
    for (const auto& [label, value] : facts) {
        html += "<tr><td><b>" + QString::fromStdString(label).toHtmlEscaped() +
                "</b>&nbsp;&nbsp;</td><td>" + QString::fromStdString(value).toHtmlEscaped() +
                "</td></tr>";
    }
    return html + "</table>";
}

QPlainTextEdit* ReadOnlyText(QWidget* parent, const char* objectName) {
    auto* text = new QPlainTextEdit(parent);
    text->setObjectName(objectName);
    text->setReadOnly(true);
    return text;
}

}  // namespace

PreviewPane::PreviewPane(QWidget* parent)
    : QWidget(parent),
      stack_(new QStackedWidget(this)),
      picture_(new QLabel(this)),
      text_(ReadOnlyText(this, "previewText")),
      hex_(ReadOnlyText(this, "previewHex")),
      error_(new QLabel(this)),
      facts_(new QLabel(this)) {
    setObjectName("previewPane");
    setAccessibleName("Preview");
    picture_->setObjectName("previewImage");
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setMinimumSize(1, 1);
    hex_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    hex_->setLineWrapMode(QPlainTextEdit::NoWrap);
    error_->setObjectName("previewError");
    error_->setWordWrap(true);
    error_->setStyleSheet("color: #b02020;");
    facts_->setObjectName("previewFacts");
    facts_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    facts_->setWordWrap(true);
    stack_->insertWidget(kPicturePage, picture_);
    stack_->insertWidget(kTextPage, text_);
    stack_->insertWidget(kHexPage, hex_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 0, 0);
    layout->addWidget(stack_, 1);
    layout->addWidget(error_);
    layout->addWidget(facts_);
    Clear();
}

PreviewPane::~PreviewPane() {
    CancelAndWait();
}

void PreviewPane::CancelAndWait() {
    ++generation_;
    cancel_ = true;
    if (worker_.joinable()) {
        worker_.join();
    }
}

void PreviewPane::Clear() {
    CancelAndWait();
    reader_.reset();
    item_ = UINT32_MAX;
    image_ = {};
    picture_->clear();
    text_->clear();
    hex_->clear();
    error_->clear();
    error_->hide();
    facts_->clear();
    stack_->setCurrentIndex(kTextPage);
}

void PreviewPane::ShowFile(uint32_t itemNum) {
    if (itemNum >= scan::foundFiles.size()) {
        Clear();
        return;
    }
    CancelAndWait();
    Clear();
    item_ = itemNum;
    ShowFacts(itemNum);
    // Opening touches the volume's state: here, on the GUI thread, never on the reader's.
    reader_ = recover::OpenFoundFileDataOnItsDrive(itemNum);
    if (!reader_) {
        ShowError("The file's data is no longer where the scan found it.");
        emit previewReady();
        return;
    }
    cancel_ = false;
    const uint64_t generation = generation_;
    const scan::FoundFile& file = scan::foundFiles[itemNum];
    FileToRender toRender{file.name, view::KindOf(file) == view::FileKind::Pictures, nullptr};
    if (file.Notes().content.empty()) {
        if (!checker_) {
            checker_ = std::make_unique<content::ContentChecker>();
        }
        toRender.checker = checker_.get();
    }
    worker_ = std::thread([this, reader = reader_.get(), toRender, generation] {
        auto rendered = std::make_shared<Rendered>(Render(*reader, toRender, cancel_));
        QMetaObject::invokeMethod(
            this,
            [this, rendered, generation] {
                if (generation == generation_ && !rendered->cancelled) {
                    Present(*rendered);
                }
            },
            Qt::QueuedConnection);
    });
}

void PreviewPane::Present(const Rendered& rendered) {
    if (worker_.joinable()) {
        worker_.join();
    }
    reader_.reset();
    if (!rendered.image.isNull()) {
        image_ = rendered.image;
        stack_->setCurrentIndex(kPicturePage);
        ShowPicture();
    } else if (rendered.kind == view::PreviewKind::Text) {
        text_->setPlainText(rendered.text);
        stack_->setCurrentIndex(kTextPage);
    } else {
        hex_->setPlainText(rendered.text);
        stack_->setCurrentIndex(kHexPage);
    }
    if (!rendered.error.isEmpty()) {
        ShowError(rendered.error);
    }
    if (rendered.check) {
        KeepContentCheck(item_, *rendered.check);
    }
    emit previewReady();
}

void PreviewPane::ShowFacts(uint32_t itemNum) {
    facts_->setText(FactsHtml(view::PreviewFacts(scan::foundFiles[itemNum])));
}

void PreviewPane::ShowError(const QString& text) {
    error_->setText(text);
    error_->show();
}

void PreviewPane::ShowPicture() {
    if (image_.isNull()) {
        return;
    }
    const QSize room = stack_->size().boundedTo(image_.size());
    picture_->setPixmap(QPixmap::fromImage(image_.scaled(
        room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ShowPicture();
}

// A file never checked was checked as it was read whole: the verdict then stands in the list
// too. A damaged file whose clusters were guessed is left for the full check, which tries
// putting it back together first.
void PreviewPane::KeepContentCheck(uint32_t itemNum, content::ContentResult result) {
    if (itemNum >= scan::foundFiles.size() ||
        (result.verdict == content::Verdict::Damaged && recover::MayReassemble(itemNum))) {
        return;
    }
    scan::FoundFile& file = scan::foundFiles[itemNum];
    file.EditNotes().content = content::VerdictName(result.verdict);
    file.EditNotes().contentDetail = recover::WithLayoutNote(file, std::move(result.detail));
    ShowFacts(itemNum);
    emit contentChecked();
}

}  // namespace relicta::gui
