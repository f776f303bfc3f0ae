#include "picturedecoder.h"

#include "emfplayer.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QMutex>
#include <QtEndian>

#include <libwmf/api.h>
#include <libwmf/gd.h>

#include <algorithm>
#include <cstring>

namespace kmp::rtf::detail {

namespace {

constexpr qint64 kMaxImagePixels = 40'000'000;
constexpr int kMaxRenderSide = 2000;
// A metafile's records are walked twice (scan and play); beyond this a note's
// picture is not worth freezing the screen for.
constexpr qsizetype kMaxMetafileBytes = 32 * 1024 * 1024;

QImage readImage(const QByteArray &bytes, const QByteArray &onlyFormat = {})
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    // Writers mislabel PNG as JPEG and back; trust the bytes, but only for the
    // kinds a note may carry, and never decode a picture whose declared size
    // would exhaust memory.
    const bool allowed = onlyFormat.isEmpty() ? (format == "png" || format == "jpeg") : format == onlyFormat;
    const QSize size = reader.size();
    if (!allowed || !size.isValid() || qint64(size.width()) * size.height() > kMaxImagePixels)
        return {};
    QImage image;
    reader.read(&image);
    return image;
}

// A device-independent bitmap is a bitmap file without its 14-byte file header;
// put one in front so the image reader takes it.
QImage decodeDib(const QByteArray &dib)
{
    if (dib.size() < 16)
        return {};
    const auto *p = reinterpret_cast<const uchar *>(dib.constData());
    const quint32 headerSize = qFromLittleEndian<quint32>(p);
    if (headerSize < 12 || headerSize > quint32(dib.size()))
        return {};
    quint32 paletteBytes = 0;
    if (headerSize >= 40 && dib.size() >= 40) {
        const quint16 bitCount = qFromLittleEndian<quint16>(p + 14);
        const quint32 compression = qFromLittleEndian<quint32>(p + 16);
        quint32 colours = qFromLittleEndian<quint32>(p + 32);
        if (colours == 0 && bitCount <= 8)
            colours = 1u << bitCount;
        paletteBytes = std::min<quint32>(colours, 256) * 4;
        if (headerSize == 40 && (compression == 3 || compression == 6))
            paletteBytes += compression == 3 ? 12 : 16; // the colour masks
    } else if (headerSize == 12 && dib.size() >= 12) {
        const quint16 bitCount = qFromLittleEndian<quint16>(p + 10);
        if (bitCount <= 8)
            paletteBytes = (1u << bitCount) * 3;
    }
    QByteArray file;
    file.reserve(dib.size() + 14);
    file.append("BM", 2);
    uchar field[4];
    qToLittleEndian<quint32>(quint32(dib.size() + 14), field);
    file.append(reinterpret_cast<const char *>(field), 4);
    file.append(4, '\0');
    qToLittleEndian<quint32>(14 + headerSize + paletteBytes, field);
    file.append(reinterpret_cast<const char *>(field), 4);
    file.append(dib);
    return readImage(file, "bmp");
}

int collectPng(void *context, char *buffer, int length)
{
    if (length > 0)
        static_cast<QByteArray *>(context)->append(buffer, length);
    return length;
}

// The library keeps font and allocation state that is not safe to share
// between threads, and the reader runs on the server's threads too.
QMutex &metafileLock()
{
    static QMutex lock;
    return lock;
}

// libwmf loads the standard PostScript fonts from this folder before it draws anything,
// text or not; without them every metafile fails as a "bad file". The fonts come from a
// package libwmf only recommends, so a station installed without recommends would show
// every such picture as a grey box: say so once, where the administrator looks.
void warnOnceIfMetafileFontsMissing()
{
    static bool warned = false;
    if (warned)
        return;
    warned = true;
    const QString probe = QStringLiteral("/usr/share/fonts/type1/urw-base35/NimbusSans-Regular.t1");
    if (!QFileInfo::exists(probe))
        qWarning("AVISO: imagens WMF das notas aparecem como caixas cinzas: faltam as fontes do desenhista de "
                 "metarquivos (%s); instale o pacote fonts-urw-base35.",
                 qPrintable(probe));
}

// Windows metafiles are drawn by libwmf into a PNG at the size asked for, so
// the screen shows the drawing rather than a box.
QImage renderWindowsMetafile(const QByteArray &data, QSize size)
{
    // A metafile starts with its 18-byte header (type 1 or 2, header size 9
    // words), or with the 22-byte placeable header before it.
    if (data.size() < 18 || data.size() > kMaxMetafileBytes)
        return {};
    const auto *p = reinterpret_cast<const uchar *>(data.constData());
    const bool placeable = qFromLittleEndian<quint32>(p) == 0x9AC6CDD7u;
    const uchar *head = placeable ? p + 22 : p;
    if (placeable && data.size() < 40)
        return {};
    const quint16 type = qFromLittleEndian<quint16>(head);
    const quint16 headerWords = qFromLittleEndian<quint16>(head + 2);
    if ((type != 1 && type != 2) || headerWords != 9)
        return {};
    size = size.boundedTo(QSize(kMaxRenderSide, kMaxRenderSide)).expandedTo(QSize(1, 1));

    QMutexLocker locker(&metafileLock());
    wmfAPI *api = nullptr;
    wmfAPI_Options options;
    std::memset(&options, 0, sizeof options);
    options.function = wmf_gd_function;
    const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    if (wmf_api_create(&api, flags, &options) != wmf_E_None) {
        if (api)
            wmf_api_destroy(api);
        return {};
    }
    QByteArray png;
    QByteArray input = data; // the library takes a non-const buffer
    wmf_gd_t *device = WMF_GD_GetData(api);
    bool ok = (device->flags & WMF_GD_SUPPORTS_PNG)
              && wmf_mem_open(api, reinterpret_cast<unsigned char *>(input.data()), input.size()) == wmf_E_None;
    wmfD_Rect bbox;
    std::memset(&bbox, 0, sizeof bbox);
    if (ok)
        ok = wmf_scan(api, 0, &bbox) == wmf_E_None && bbox.BR.x > bbox.TL.x && bbox.BR.y > bbox.TL.y;
    if (ok) {
        device->type = wmf_gd_png;
        device->flags |= WMF_GD_OUTPUT_MEMORY | WMF_GD_OWN_BUFFER;
        device->sink.context = &png;
        device->sink.function = collectPng;
        device->bbox = bbox;
        device->width = static_cast<unsigned int>(size.width());
        device->height = static_cast<unsigned int>(size.height());
        ok = wmf_play(api, 0, &bbox) == wmf_E_None;
    }
    wmf_mem_close(api);
    wmf_api_destroy(api); // writes the PNG through the sink
    if (!ok || png.isEmpty()) {
        warnOnceIfMetafileFontsMissing();
        return {};
    }
    locker.unlock();
    return readImage(png, "png");
}

} // namespace

QImage decodePicture(PictureKind kind, const QByteArray &data, QSize renderSize)
{
    if (data.isEmpty())
        return {};
    switch (kind) {
    case PictureKind::WindowsMetafile: return renderWindowsMetafile(data, renderSize);
    case PictureKind::Dib: return decodeDib(data);
    case PictureKind::EnhancedMetafile: return renderEnhancedMetafile(data, renderSize);
    case PictureKind::DeviceBitmap:
    case PictureKind::Other: return {};
    case PictureKind::Png:
    case PictureKind::Jpeg:
    case PictureKind::Unknown: break;
    }
    return readImage(data);
}

} // namespace kmp::rtf::detail
