#pragma once
// The compression pass: re-encodes the opened picture at the slider's quality into the
// working file and shows the result with its size and the share saved.

#include <QString>

#include "common/shared_state.h"
#include "passes/pass_library.h"
#include "passes/pass_support.h"

namespace vellora {

// What the pass touches on screen. Every call may raise a run-time error, which the
// pass's trap absorbs step by step.
class CompressionView {
public:
    virtual ~CompressionView() = default;
    // A modal message box titled with the application title, OK button only.
    virtual void message(MessageIcon icon, const QString& text) = 0;
    virtual void setMainCaption(const QString& caption) = 0;
    [[nodiscard]] virtual int sliderValue() = 0;
    // The compressed-image window; the first touch loads it.
    virtual void setCompressedCaption(const QString& caption) = 0;
    virtual void showCompressed() = 0;
    // Loads the file into the window's picture box; raises an error when it is no picture.
    virtual void loadCompressedPicture(const QString& path) = 0;
    virtual void repaintCompressed() = 0;
    // Outer width = picture width + 50, height = picture height + label height + 380 (twips).
    virtual void sizeCompressedToPicture() = 0;
    virtual void setCompressedLabel(const QString& text) = 0;
};

// The fixed texts the pass shows.
namespace texts {
inline const QString kNoFileOpen = QStringLiteral("You must open an image file first.");
inline const QString kInvalidFileType = QStringLiteral("Invalid File Type!");
inline const QString kError1 = QStringLiteral("Error 1 Occurred");
inline const QString kError3 = QStringLiteral("Error 3 Occurred!");
inline const QString kError2Caption = QStringLiteral("error2");
inline const QString kError4Caption = QStringLiteral("error4");
inline const QString kCompressedImage = QStringLiteral("Compressed Image");
inline const QString kFilesize = QStringLiteral("Filesize:  ");
inline const QString kBytes = QStringLiteral(" bytes");
inline const QString kBytesAndGap = QStringLiteral(" bytes    ");
}  // namespace texts

// The save entry's flag the passes use: the tuned encoder.
inline constexpr int kPassSaveFlag = 1;

// Runs one pass. `workingFile` is where the result goes (WorkingFile()). Returns true
// when the library wrote the working file (the save's status was 1).
bool runCompressionPass(SharedState& state, PassLibrary& library, CompressionView& view,
                        const QString& workingFile);

// The library-load recovery as the passes run it: true when the program was ended.
bool runLibraryLoadRecovery(CompressionView& view);

}  // namespace vellora
