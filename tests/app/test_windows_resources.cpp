// The Windows build's resources: the manifest's exact bytes, the icon's nine
// images, and (where the cross tools are installed) the resource script.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtEndian>
#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace {

const QString kWindowsDir = QStringLiteral(TOVALY_APP_SOURCE_DIR "/windows");

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

template <typename T>
T Read(const QByteArray &data, qsizetype offset)
{
    return qFromLittleEndian<T>(data.constData() + offset);
}

TEST(Manifest, Is568BytesOfCrSeparatedXml)
{
    const QByteArray manifest = ReadAll(kWindowsDir + QStringLiteral("/app.manifest"));
    EXPECT_EQ(manifest.size(), 568);
    EXPECT_FALSE(manifest.contains('\n'));
    EXPECT_GT(manifest.count('\r'), 10);
    EXPECT_TRUE(manifest.startsWith(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)"
                                    "\r"));
    EXPECT_TRUE(manifest.endsWith("</assembly>"));
}

TEST(Manifest, ElementsAndAttributesInTheirOrder)
{
    using Attributes = std::vector<std::pair<QString, QString>>;
    const std::vector<std::pair<QString, Attributes>> expected = {
        {QStringLiteral("assembly"),
         {{QStringLiteral("xmlns"), QStringLiteral("urn:schemas-microsoft-com:asm.v1")},
          {QStringLiteral("manifestVersion"), QStringLiteral("1.0")}}},
        {QStringLiteral("assemblyIdentity"),
         {{QStringLiteral("name"), QStringLiteral("XPStyle Control Demo")},
          {QStringLiteral("processorArchitecture"), QStringLiteral("x86")},
          {QStringLiteral("version"), QStringLiteral("1.0.0.0")},
          {QStringLiteral("type"), QStringLiteral("win32")}}},
        {QStringLiteral("description"), {}},
        {QStringLiteral("dependency"), {}},
        {QStringLiteral("dependentAssembly"), {}},
        {QStringLiteral("assemblyIdentity"),
         {{QStringLiteral("type"), QStringLiteral("win32")},
          {QStringLiteral("name"), QStringLiteral("Microsoft.Windows.Common-Controls")},
          {QStringLiteral("version"), QStringLiteral("6.0.0.0")},
          {QStringLiteral("processorArchitecture"), QStringLiteral("x86")},
          {QStringLiteral("publicKeyToken"), QStringLiteral("6595b64144ccf1df")},
          {QStringLiteral("language"), QStringLiteral("*")}}},
    };

    QXmlStreamReader xml(ReadAll(kWindowsDir + QStringLiteral("/app.manifest")));
    std::vector<std::pair<QString, Attributes>> found;
    QStringList parents;
    QString descriptionText;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartDocument()) {
            EXPECT_EQ(xml.documentVersion(), QStringLiteral("1.0"));
            EXPECT_EQ(xml.documentEncoding(), QStringLiteral("UTF-8"));
            EXPECT_TRUE(xml.isStandaloneDocument());
        } else if (xml.isStartElement()) {
            Attributes attributes;
            for (const QXmlStreamAttribute &a : xml.attributes())
                attributes.emplace_back(a.qualifiedName().toString(), a.value().toString());
            // xmlns is a namespace declaration, not an attribute, to the reader.
            for (const QXmlStreamNamespaceDeclaration &ns : xml.namespaceDeclarations())
                attributes.insert(attributes.begin(), {QStringLiteral("xmlns"), ns.namespaceUri().toString()});
            found.emplace_back(xml.name().toString(), attributes);
            parents << xml.name().toString();
        } else if (xml.isEndElement()) {
            parents.removeLast();
        } else if (xml.isCharacters() && !xml.isWhitespace() &&
                   parents.value(parents.size() - 1) == QStringLiteral("description")) {
            descriptionText += xml.text();
        }
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(descriptionText.isEmpty());
}

struct IconImage {
    int width;
    int bits;
    bool png;
};

TEST(ApplicationIcon, HoldsNineImagesAt256ColoursAnd32Bits)
{
    const QByteArray ico = ReadAll(kWindowsDir + QStringLiteral("/app.ico"));
    ASSERT_GE(ico.size(), 6);
    EXPECT_EQ(Read<quint16>(ico, 0), 0);
    EXPECT_EQ(Read<quint16>(ico, 2), 1); // icon, not cursor
    const int count = Read<quint16>(ico, 4);
    ASSERT_EQ(count, 9);
    ASSERT_GE(ico.size(), 6 + 16 * count);

    std::vector<IconImage> images;
    for (int i = 0; i < count; ++i) {
        const qsizetype entry = 6 + 16 * i;
        const int width = static_cast<quint8>(ico[entry]) == 0 ? 256 : static_cast<quint8>(ico[entry]);
        const int height = static_cast<quint8>(ico[entry + 1]) == 0 ? 256 : static_cast<quint8>(ico[entry + 1]);
        EXPECT_EQ(width, height);
        const int bits = Read<quint16>(ico, entry + 6);
        const quint32 size = Read<quint32>(ico, entry + 8);
        const quint32 offset = Read<quint32>(ico, entry + 12);
        ASSERT_LE(qsizetype(offset) + qsizetype(size), ico.size());
        const QByteArray data = ico.mid(offset, size);
        const bool png = data.startsWith("\x89PNG");
        if (!png) {
            // The bitmap header agrees with the directory: twice the height
            // for the colour and mask bitmaps, and the same depth.
            EXPECT_EQ(Read<quint32>(data, 0), 40U);
            EXPECT_EQ(Read<qint32>(data, 4), width);
            EXPECT_EQ(Read<qint32>(data, 8), 2 * width);
            EXPECT_EQ(Read<quint16>(data, 14), bits);
            const int stride = (width * bits + 31) / 32 * 4;
            const int maskStride = (width + 31) / 32 * 4;
            const int palette = bits == 8 ? 256 * 4 : 0;
            EXPECT_EQ(data.size(), 40 + palette + (stride + maskStride) * width);
        }
        images.push_back({width, bits, png});
    }

    std::map<std::pair<int, int>, int> kinds;
    for (const IconImage &image : images)
        ++kinds[{image.width, image.bits}];
    const std::map<std::pair<int, int>, int> expected = {{{48, 8}, 1},  {{32, 8}, 1},   {{24, 8}, 1},
                                                         {{16, 8}, 1},  {{256, 32}, 1}, {{48, 32}, 1},
                                                         {{32, 32}, 1}, {{24, 32}, 1},  {{16, 32}, 1}};
    EXPECT_EQ(kinds, expected);
}

// Resources as windres writes them in .res form: the type, name, language
// and data of each entry.
struct Resource {
    int type;
    int name;
    int language;
    QByteArray data;
};

std::vector<Resource> ParseRes(const QByteArray &res)
{
    std::vector<Resource> resources;
    qsizetype at = 0;
    const auto readId = [&](qsizetype &p) {
        if (Read<quint16>(res, p) == 0xFFFF) {
            const int id = Read<quint16>(res, p + 2);
            p += 4;
            return id;
        }
        while (Read<quint16>(res, p) != 0) // a named entry: skip the name
            p += 2;
        p += 2;
        return -1;
    };
    while (at + 32 <= res.size()) {
        const quint32 dataSize = Read<quint32>(res, at);
        const quint32 headerSize = Read<quint32>(res, at + 4);
        qsizetype p = at + 8;
        const int type = readId(p);
        const int name = readId(p);
        p = (p + 3) & ~qsizetype(3);
        const int language = Read<quint16>(res, p + 6);
        if (!(dataSize == 0 && type == 0))
            resources.push_back({type, name, language, res.mid(at + headerSize, dataSize)});
        at = (at + headerSize + dataSize + 3) & ~qsizetype(3);
    }
    return resources;
}

TEST(ResourceScript, CompilesWithTheIconVersionBlockAndManifest)
{
    // Either MinGW's resource compiler: the .res form is the same for both.
    QString host = QStringLiteral("i686-w64-mingw32");
    QString windres = QStandardPaths::findExecutable(host + QStringLiteral("-windres"));
    if (windres.isEmpty()) {
        host = QStringLiteral("x86_64-w64-mingw32");
        windres = QStandardPaths::findExecutable(host + QStringLiteral("-windres"));
    }
    if (windres.isEmpty())
        GTEST_SKIP() << "no MinGW windres is installed (make test-windows installs one)";
    QStringList arguments;
    if (QStandardPaths::findExecutable(host + QStringLiteral("-gcc")).isEmpty()) {
        if (QStandardPaths::findExecutable(QStringLiteral("cpp")).isEmpty())
            GTEST_SKIP() << "no C preprocessor for windres";
        arguments << QStringLiteral("--preprocessor=cpp");
    }
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    const QString resFile = out.filePath(QStringLiteral("app.res"));
    arguments << QStringLiteral("-O") << QStringLiteral("res") << QStringLiteral("-o") << resFile
              << QStringLiteral("app.rc");

    QProcess process;
    process.setWorkingDirectory(kWindowsDir);
    process.start(windres, arguments);
    ASSERT_TRUE(process.waitForFinished(60000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

    std::map<int, int> countByType;
    QByteArray manifest;
    QByteArray version;
    for (const Resource &r : ParseRes(ReadAll(resFile))) {
        ++countByType[r.type];
        EXPECT_EQ(r.language, 0x0409);
        if (r.type == 24) {
            EXPECT_EQ(r.name, 1);
            manifest = r.data;
        } else if (r.type == 16) {
            version = r.data;
        }
    }
    EXPECT_EQ(countByType[3], 9);  // RT_ICON: the nine images
    EXPECT_EQ(countByType[14], 1); // RT_GROUP_ICON
    EXPECT_EQ(countByType[16], 1); // RT_VERSION
    EXPECT_EQ(manifest, ReadAll(kWindowsDir + QStringLiteral("/app.manifest")));

    const auto utf16 = [](const char *text) {
        const QString s = QString::fromLatin1(text);
        return QByteArray(reinterpret_cast<const char *>(s.utf16()), s.size() * 2);
    };
    for (const char *text : {"040904B0", "Convert Opera Mails to MBOX", "Tovaly Opera to MBOX Converter", "1.00"})
        EXPECT_TRUE(version.contains(utf16(text))) << text;
    // VS_FIXEDFILEINFO after the "VS_VERSION_INFO" key: file and product
    // version 1.0.0.0.
    const qsizetype fixed = version.indexOf(QByteArray::fromHex("bd04effe"));
    ASSERT_GE(fixed, 0);
    EXPECT_EQ(Read<quint32>(version, fixed + 8), 0x00010000U);
    EXPECT_EQ(Read<quint32>(version, fixed + 12), 0U);
    EXPECT_EQ(Read<quint32>(version, fixed + 16), 0x00010000U);
    EXPECT_EQ(Read<quint32>(version, fixed + 20), 0U);
}

} // namespace
