#include "Explain.h"

#include "Destination.h"
#include "file.h"
#include "platform/platform.h"

#include <QFileInfo>

#include <cerrno>

namespace packing {
namespace {
QString Quoted(const QString& name)
{
    return u'"' + name + u'"';
}

QString FolderOf(const QString& path)
{
    return QFileInfo(path).path();
}

// zip reports a full disk or a folder it cannot write in its own words.
bool Says(const RuntimeError& error, std::initializer_list<const char*> phrases)
{
    for (const char* phrase : phrases) {
        if (error.description().contains(QLatin1String(phrase), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString DestinationFull(const Failure& failure)
{
    return QStringLiteral("ดิสก์ของโฟลเดอร์ปลายทาง %1 เต็ม กรุณาลบไฟล์ที่ไม่ใช้ออก หรือเลือกปลายทางบนดิสก์อื่น")
        .arg(FolderOf(failure.destination));
}

QString DestinationNotWritable(const Failure& failure)
{
    return QStringLiteral("ไม่สามารถเขียนไฟล์ในโฟลเดอร์ปลายทาง %1 ได้ กรุณากด Browse... เพื่อเลือกโฟลเดอร์อื่น")
        .arg(FolderOf(failure.destination));
}

QString OutOfMemory()
{
    return QStringLiteral("หน่วยความจำไม่พอ กรุณาปิดโปรแกรมอื่นที่ไม่ใช้ แล้วลองใหม่อีกครั้ง");
}

// A file that would pass this account's file-size limit (or its file
// system's largest file): more room on the disk would not help it.
QString TooLarge(const QString& file, const QString& cause)
{
    if (cause.contains(QLatin1String("file-size limit")))
        return QStringLiteral("ไฟล์ %1 จะใหญ่เกินขนาดไฟล์ที่บัญชีผู้ใช้นี้เขียนได้ (ขีดจำกัดขนาดไฟล์ ulimit -f) ไม่ใช่ดิสก์เต็ม "
                              "กรุณาขอให้ผู้ดูแลระบบเพิ่มขีดจำกัดนี้ หรือแพ็กไฟล์ที่เล็กกว่านี้")
            .arg(file);
    return QStringLiteral("ไฟล์ %1 จะใหญ่เกินกว่าที่ระบบไฟล์ของโฟลเดอร์นั้นรับได้ กรุณาเลือกปลายทางบนดิสก์อื่น").arg(file);
}

QString WorkAreaFull(const Failure& failure)
{
    return QStringLiteral("พื้นที่ดิสก์สำหรับไฟล์ชั่วคราวเต็ม (%1) กรุณาลบไฟล์ที่ไม่ใช้ออกจากดิสก์นั้นแล้วลองใหม่")
        .arg(failure.error.path().isEmpty() ? QStringLiteral("โฟลเดอร์ชั่วคราว") : FolderOf(failure.error.path()));
}
}  // namespace

QString Refusal(err::Reason reason, const QStringList& particulars)
{
    using err::Reason;
    const QString first = particulars.value(0), second = particulars.value(1);
    switch (reason) {
    case Reason::DestinationFolderMissing: return QStringLiteral("ไม่พบโฟลเดอร์ปลายทาง กรุณาเลือกปลายทางใหม่!");
    case Reason::DestinationFolderLocked:
        return QStringLiteral("ไม่สามารถเขียนไฟล์ในโฟลเดอร์ปลายทางได้ กรุณาเลือกโฟลเดอร์อื่น!");
    case Reason::DestinationIsFolder: return QStringLiteral("ปลายทางที่เลือกเป็นโฟลเดอร์ กรุณาตั้งชื่อไฟล์ปลายทาง!");
    case Reason::DestinationReadOnly: return QStringLiteral("ไฟล์ปลายทางถูกป้องกันการเขียน กรุณาเลือกปลายทางอื่น!");
    case Reason::DestinationNotRegular:
        return QStringLiteral("ปลายทางที่เลือกไม่ใช่ไฟล์ธรรมดา (อาจเป็นไปป์หรืออุปกรณ์) กรุณาเลือกปลายทางใหม่!");
    case Reason::DestinationOfOther:
        return QStringLiteral("ไฟล์ปลายทางเป็นของผู้ใช้อื่น และโฟลเดอร์นี้ให้เฉพาะเจ้าของแทนที่ไฟล์ได้ กรุณาเลือกปลายทางอื่น!");
    case Reason::DestinationLink:
        return QStringLiteral("ไฟล์ปลายทาง %1 เป็นลิงก์ที่ผู้ใช้อื่น (%2) สร้างไว้ในโฟลเดอร์ที่ทุกคนเขียนได้ Quillfold "
                              "จึงไม่เขียนตามลิงก์นี้ (ระบบเองก็ไม่ตามลิงก์แบบนี้) กรุณาเลือกปลายทางอื่น หรือลบลิงก์นี้!")
            .arg(first, second);
    case Reason::DestinationIsWorkbook:
        return QStringLiteral("ไฟล์ปลายทางเป็นไฟล์เดียวกับไฟล์ที่เลือกไว้ กรุณาเลือกปลายทางใหม่!\n\n") + first;
    case Reason::NameStartsWithDot: return QStringLiteral("ชื่อขึ้นต้นด้วยจุด แพ็กเกจจึงไม่มีชื่อ");
    case Reason::NameControlCharacter:
        return QStringLiteral("ชื่อมีอักขระควบคุม (เช่น แท็บ หรือการขึ้นบรรทัดใหม่) ซึ่งผู้รับจะได้กลับมาเป็นเครื่องหมาย _");
    case Reason::NameBackslash:
        return QStringLiteral("ชื่อมีเครื่องหมาย \\ ซึ่งผู้รับจะได้ชื่อกลับมาเฉพาะส่วนที่อยู่หลังเครื่องหมายนี้");
    case Reason::NameWindowsCharacter: return QStringLiteral("ชื่อมีอักขระที่ Windows ใช้ในชื่อไฟล์ไม่ได้ (< > : \" | ? *)");
    case Reason::NameWindowsDevice:
        return QStringLiteral("ชื่อจนถึงจุดแรกเป็นชื่ออุปกรณ์ของ Windows (เช่น CON, NUL, COM1) "
                              "ผู้รับบน Windows จึงสร้างไฟล์ชื่อนี้ไม่ได้");
    case Reason::NameEndsInDotOrSpace: return QStringLiteral("ชื่อลงท้ายด้วยจุดหรือช่องว่าง ซึ่ง Windows ใช้เป็นชื่อไฟล์ไม่ได้");
    case Reason::NameTooLong:
        return QStringLiteral("ชื่อแพ็กเกจจะยาวเกิน %1 ไบต์ ผู้รับจึงกู้คืนเป็น .xlsx ไม่ได้ (ชื่อไฟล์ยาวได้ไม่เกิน %2 ไบต์)")
            .arg(LongestPackageName)
            .arg(LongestFileName);
    case Reason::NamesClash:
        return QStringLiteral("ไฟล์ต่อไปนี้จะได้ชื่อซ้ำกันในไฟล์ปลายทาง กรุณาเลือกไฟล์ใหม่!\n\n") + first +
               QStringLiteral("\n\nชื่อในไฟล์ปลายทางคือชื่อไฟล์ถึงจุดแรกเท่านั้น ต่อด้วย .enc (ตัวพิมพ์ใหญ่และเล็กถือว่าเหมือนกัน) "
                              "เช่น report.2019.xls และ report.2020.xls จะได้ชื่อ report.enc ทั้งคู่ "
                              "กรุณาเปลี่ยนชื่อไฟล์ใดไฟล์หนึ่งให้ต่างกันก่อนจุดแรก แล้วเลือกไฟล์ใหม่อีกครั้ง");
    // The temporary folder: the variable that names it, its value, the folder.
    case Reason::TemporaryMissing:
        if (!second.isEmpty())
            return QStringLiteral("โฟลเดอร์ชั่วคราวที่ %1 กำหนดไว้ (%2) ไม่มีอยู่ หรือไม่ใช่โฟลเดอร์ Quillfold จึงสร้างไฟล์งานไม่ได้ "
                                  "กรุณาแก้ค่า %1 ให้ชี้ไปยังโฟลเดอร์ที่มีอยู่ หรือยกเลิกค่า %1 แล้วเปิด Quillfold ใหม่")
                .arg(first, second);
        return QStringLiteral("ไม่พบโฟลเดอร์ชั่วคราวของระบบ (%1) Quillfold จึงสร้างไฟล์งานไม่ได้ กรุณาแจ้งผู้ดูแลระบบ "
                              "หรือตั้งค่า %2 ให้ชี้ไปยังโฟลเดอร์ของคุณเอง แล้วเปิด Quillfold ใหม่")
            .arg(particulars.value(2), first);
    case Reason::TemporaryReadOnly:
        return QStringLiteral("โฟลเดอร์ชั่วคราว %1 อยู่บนระบบไฟล์ที่อ่านได้อย่างเดียว Quillfold จึงสร้างไฟล์งานไม่ได้ "
                              "กรุณาตั้งค่า %2 ให้ชี้ไปยังโฟลเดอร์ที่เขียนได้ แล้วเปิด Quillfold ใหม่")
            .arg(particulars.value(2), first);
    case Reason::TemporaryLocked:
        return QStringLiteral("คุณไม่มีสิทธิ์สร้างไฟล์ในโฟลเดอร์ชั่วคราว %1 กรุณาตั้งค่า %2 ให้ชี้ไปยังโฟลเดอร์ของคุณเอง "
                              "แล้วเปิด Quillfold ใหม่")
            .arg(particulars.value(2), first);
    default: return {};
    }
}

QString NamesRefused()
{
    return QStringLiteral("ชื่อไฟล์ต่อไปนี้ใช้ตั้งชื่อแพ็กเกจไม่ได้ (ชื่อแพ็กเกจคือชื่อไฟล์จนถึงจุดแรก ต่อด้วย .enc) "
                          "กรุณาเปลี่ยนชื่อไฟล์แล้วเลือกใหม่!");
}

QString TemporaryProblem(const file::TemporaryCheck& check)
{
    return Refusal(check.issue, {check.variable, check.value, check.folder});
}

QString ThaiExplanation(const Failure& failure)
{
    const RuntimeError& error = failure.error;
    const QString entry = Quoted(failure.entry);
    switch (failure.step) {
    case Step::WorkArea:
        if (error.reason() == err::Reason::TemporaryMissing || error.reason() == err::Reason::TemporaryReadOnly ||
            error.reason() == err::Reason::TemporaryLocked) {
            if (const QString problem = TemporaryProblem(file::CheckTemporaryFolder()); !problem.isEmpty())
                return problem;
        }
        if (error.number() == err::PermissionDenied && Says(error, {file::OtherUsersWorkArea}))
            return QStringLiteral("โฟลเดอร์งานชั่วคราว %1 เป็นของผู้ใช้อื่น จึงไม่ได้ใช้ และคุณลบเองไม่ได้ "
                                  "กรุณาแจ้งผู้ดูแลระบบ หรือตั้งค่า TMPDIR ให้ชี้ไปยังโฟลเดอร์ของคุณเอง "
                                  "แล้วเปิด Quillfold ใหม่")
                .arg(error.path());
        if (error.number() == err::PermissionDenied)
            return QStringLiteral("โฟลเดอร์งานชั่วคราว %1 ไม่ปลอดภัย (เป็นลิงก์ หรือผู้อื่นแก้ไขได้) "
                                  "จึงไม่ได้ใช้ กรุณาลบโฟลเดอร์นี้ หรือแจ้งผู้ดูแลระบบ")
                .arg(error.path());
        if (error.number() == err::OutOfMemory)
            return OutOfMemory();
        if (error.number() == err::DiskFull)
            return WorkAreaFull(failure);
        return QStringLiteral("สร้างโฟลเดอร์งานชั่วคราวไม่ได้ กรุณาแจ้งผู้ดูแลระบบพร้อมรายละเอียดด้านล่าง");
    case Step::Package:
        switch (error.number()) {
        case err::FileNotFound:
            return QStringLiteral("ไม่พบไฟล์ %1 แล้ว อาจถูกย้าย เปลี่ยนชื่อ หรือลบไป "
                                  "กรุณากด Browse... เพื่อเลือกไฟล์ใหม่อีกครั้ง")
                .arg(entry);
        case err::PermissionDenied:
            return QStringLiteral("ไม่มีสิทธิ์อ่านไฟล์ %1 กรุณาคัดลอกไฟล์มาไว้ในโฟลเดอร์ของคุณ แล้วเลือกใหม่อีกครั้ง")
                .arg(entry);
        case err::Overflow:
            return QStringLiteral("ไฟล์ %1 มีขนาดตั้งแต่ 2 GB ขึ้นไป ใหญ่เกินกว่าจะแพ็กได้ กรุณาเลือกไฟล์อื่น").arg(entry);
        case err::DiskFull:
            return WorkAreaFull(failure);
        case err::FileTooLarge:
            return TooLarge(Quoted(QFileInfo(error.path()).fileName()), error.description());
        case err::OutOfMemory:
            return OutOfMemory();
        case err::PathFileAccess:
            return QStringLiteral("%1 ไม่ใช่ไฟล์ที่แพ็กได้ (อาจเป็นโฟลเดอร์หรืออุปกรณ์) กรุณาเลือกไฟล์ใหม่").arg(entry);
        default:
            return QStringLiteral("อ่านไฟล์ %1 หรือเขียนไฟล์ชั่วคราวของไฟล์นี้ไม่สำเร็จ ดิสก์อาจมีปัญหา "
                                  "กรุณาลองใหม่อีกครั้ง")
                .arg(entry);
        }
    case Step::Archive:
        switch (error.number()) {
        case err::FileNotFound:
            return QStringLiteral("ไม่พบโปรแกรม zip ที่ Quillfold ต้องใช้ (%1) กรุณาติดตั้ง Quillfold ใหม่ "
                                  "หรือแจ้งผู้ดูแลระบบ")
                .arg(error.path());
        case err::PathNotFound:
            return QStringLiteral("ไม่พบโฟลเดอร์ปลายทาง %1 กรุณากด Browse... เพื่อเลือกปลายทางใหม่")
                .arg(FolderOf(failure.destination));
        case err::PermissionDenied:
            return DestinationNotWritable(failure);
        case err::DiskFull:
            return DestinationFull(failure);
        case err::PathFileAccess:
            return QStringLiteral("แทนที่ไฟล์ปลายทาง %1 ไม่ได้ (เป็นโฟลเดอร์ หรือถูกป้องกันการเขียน) "
                                  "กรุณาเลือกปลายทางอื่น")
                .arg(failure.destination);
        case err::ArchiverFailed:
            if (Says(error, {"No space left", "Disk full", "Quota exceeded"}))
                return DestinationFull(failure);
            if (Says(error, {"File too large"}))
                return TooLarge(Quoted(failure.destination), platform::ErrorText(EFBIG));
            if (Says(error, {"Permission denied", "Could not create", "Read-only file system"}))
                return DestinationNotWritable(failure);
            [[fallthrough]];
        default:
            return QStringLiteral("โปรแกรม zip ทำงานไม่สำเร็จขณะเพิ่มไฟล์ %1 กรุณาลองใหม่อีกครั้ง "
                                  "ถ้ายังไม่ได้ โปรดแจ้งผู้ดูแลระบบพร้อมรายละเอียดด้านล่าง")
                .arg(entry);
        }
    case Step::Check:
        if (error.number() == err::OutOfMemory)
            return OutOfMemory();
        return QStringLiteral("ตรวจสอบไฟล์ ZIP ที่สร้างใหม่แล้วไม่ตรงกับไฟล์ที่แพ็ก จึงไม่ได้นำไปใช้ "
                              "กรุณาลองใหม่อีกครั้ง ถ้ายังไม่ได้ โปรดแจ้งผู้ดูแลระบบพร้อมรายละเอียดด้านล่าง");
    case Step::Swap:
        switch (error.number()) {
        case err::DiskFull:
            return DestinationFull(failure);
        case err::FileTooLarge:
            return TooLarge(Quoted(failure.destination), error.description());
        case err::DeviceIO:
            return QStringLiteral("เขียนไฟล์ ZIP ใหม่ลงดิสก์ไม่สำเร็จ ดิสก์ของโฟลเดอร์ปลายทาง %1 อาจมีปัญหา "
                                  "กรุณาลองใหม่อีกครั้ง หรือเลือกปลายทางบนดิสก์อื่น")
                .arg(FolderOf(failure.destination));
        case err::PermissionDenied:
            return QStringLiteral("ไม่มีสิทธิ์แทนที่ไฟล์ปลายทาง %1 กรุณาเลือกปลายทางอื่น").arg(failure.destination);
        case err::PathFileAccess:
            return QStringLiteral("ปลายทาง %1 ถูกเปลี่ยนเป็นสิ่งที่ไม่ใช่ไฟล์ธรรมดาระหว่างแพ็ก จึงไม่ได้แทนที่ "
                                  "กรุณาเลือกปลายทางใหม่")
                .arg(failure.destination);
        default:
            return QStringLiteral("นำไฟล์ ZIP ใหม่ไปแทนที่ %1 ไม่ได้ กรุณาตรวจสอบว่าไม่มีโปรแกรมใดใช้ไฟล์นั้นอยู่ "
                                  "หรือเลือกปลายทางอื่น")
                .arg(failure.destination);
        }
    case Step::Flush:
        return QStringLiteral("นำไฟล์ ZIP ใหม่ไปไว้ที่ %1 แล้ว แต่ดิสก์ไม่ยืนยันว่าบันทึกเรียบร้อย "
                              "ถ้าไฟดับหรือเครื่องดับในตอนนี้ อาจได้ไฟล์เดิมกลับมา กรุณาตรวจสอบดิสก์ "
                              "แล้วแพ็กใหม่อีกครั้ง")
            .arg(failure.destination);
    }
    return {};
}

QString FailureReport(const Failure& failure)
{
    const QString outcome = failure.step == Step::Flush ? QStringLiteral("ไฟล์ ZIP ใหม่อยู่ที่ปลายทางแล้ว")
                                                        : QStringLiteral("ไฟล์ปลายทางเดิม (ถ้ามี) ยังอยู่ครบ ไม่ได้ถูกเปลี่ยนแปลง");
    return ThaiExplanation(failure) + QStringLiteral("\n\n") + outcome + QStringLiteral("\n\n") + failure.error.report();
}

QString FailureStatus(const Failure& failure)
{
    if (!failure.entry.isEmpty() && (failure.step == Step::Package || failure.step == Step::Archive))
        return QStringLiteral("แพ็กไม่สำเร็จที่ไฟล์ %1").arg(failure.entry);
    return QStringLiteral("แพ็กไม่สำเร็จ");
}

}  // namespace packing
