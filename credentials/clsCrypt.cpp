#include "clsCrypt.h"

#include "base/RuntimeError.h"
#include "base/text.h"

#include <limits>

namespace {
// The one key. Every package header ever written depends on these bytes: never
// change them. Every character lies between '#' (0x23) and '`' (0x60).
constexpr char KeyText[] =
    R"(_Z0Y`EJ87U#-P<&BQW50*X#K/@&*8(9[M(/(.ZJ69N_Y>2DIUK?-+R/BPPZ]?H#1)"
    R"(/SJS$8_2&`RH#*S.C):18T6KTMG9$(K]V614PLD]'T3>V@?A')$A_Z@-(8*HL]</)"
    R"(Y]8<U-G)U]C?^O<KS&K<\9<SL5/N7A0;2T<8S/Y-Z4P\++A4<)S5R:DJH5[I1OOD)"
    R"(&6G<YMWG+VT%2@N>>S)*00`MG(P3>=U?Q^H?^3:8NGPC[S1H`YF0K=\X\+S,UH&:)"
    R"(EG_XVA2^8_[@;7I9]3GX8-CLU.7<FX?\DD#8`F#3:QZ13OY\IY7;)AZ9PL<64IQ')"
    R"(YY\<1VFX9IC31IK3=);B%.YW-X\R+:=-K@X@1;+TM-5$PM/(T(G/`7B6,7-1^M%()"
    R"(\]8A+;K?*B(US.)(>WV;D:V08[GM7;X+%C=I3K,V3T5FB'P\^#4AGGW3281AN@KD)"
    R"(^DNHI_+.;$8'UD/P`M&>41:X6ZP`%[[)F279J]W=`\&`5[3QOY>^L2OTLO=4?=L\)";

static_assert(sizeof(KeyText) - 1 == clsCrypt::KeyLength, "the key is exactly 512 characters");

constexpr bool KeyInRange()
{
    for (std::size_t i = 0; i + 1 < sizeof(KeyText); ++i) {
        if (KeyText[i] < 0x23 || KeyText[i] > 0x60)
            return false;
    }
    return true;
}
static_assert(KeyInRange(), "every key character lies in 0x23..0x60");
}  // namespace

QByteArray clsCrypt::GetKeyText(const QByteArray& /*keyFileName*/)
{
    return QByteArray::fromRawData(KeyText, KeyLength);
}

QByteArray clsCrypt::Transform(const QByteArray& input)
{
    // The length is a 16-bit count; past the key there is no character to combine with.
    if (input.size() > std::numeric_limits<qint16>::max())
        throw RuntimeError(err::Overflow);
    if (input.size() > KeyLength)
        throw RuntimeError(err::InvalidCall);
    const QByteArray key = GetKeyText(QByteArrayLiteral("ORV.KEY"));
    QByteArray result(input.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < input.size(); ++i)
        result[i] = char(input.at(i) ^ key.at(i));
    return result;
}

QByteArray clsCrypt::EnCrypt(const QByteArray& prsCryptThis) const
{
    return Transform(prsCryptThis);
}

QByteArray clsCrypt::DeCrypt(const QVariant& pvsEncrypted) const
{
    if (!pvsEncrypted.isValid() || pvsEncrypted.isNull())
        throw RuntimeError(err::InvalidUseOfNull);
    if (pvsEncrypted.typeId() == QMetaType::QByteArray)
        return Transform(pvsEncrypted.toByteArray());
    if (!pvsEncrypted.canConvert<QString>())
        throw RuntimeError(err::InvalidCall);
    return Transform(text::ToAnsi(pvsEncrypted.toString()));
}

bool clsCrypt::Authen(const QByteArray& prsData, const QByteArray& prsCryptedText) const
{
    return EnCrypt(prsData) == prsCryptedText;
}
