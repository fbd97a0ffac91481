// SPDX-License-Identifier: MIT
#include "takingsreport.h"

#include <cstdio>

namespace {

// Every credit is worth 0,20 EUR, so money is kept in cents.
constexpr std::uint64_t creditCents = 20;

std::string thousands(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(std::size_t(at), 1, '.');
    return digits;
}

std::string euros(std::uint64_t cents)
{
    char decimals[4];
    std::snprintf(decimals, sizeof decimals, ",%02u", unsigned(cents % 100));
    return thousands(cents / 100) + decimals;
}

std::string percent(std::uint64_t part, std::uint64_t whole)
{
    const std::uint64_t hundredths = whole ? part * 10000 / whole : 0;
    char text[16];
    std::snprintf(
        text, sizeof text, "%u,%02u", unsigned(hundredths / 100), unsigned(hundredths % 100));
    return text;
}

std::string dateTime(std::time_t when, const char *format)
{
    std::tm local {};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// The printer of the machine has a fixed layout: label and dot leaders, the value
// right-aligned, then the unit.
std::string row(const std::string &label, const std::string &value, const char *unit = "")
{
    std::string line = "  " + label + ' ';
    while (line.size() < 24)
        line += '.';
    line += ' ';
    line += std::string(value.size() < 12 ? 12 - value.size() : 0, ' ') + value;
    if (*unit)
        line += std::string(" ") + unit;
    return line;
}

std::string field(const std::string &label, const std::string &value)
{
    std::string line = label + ' ';
    while (line.size() < 22)
        line += '.';
    return line + ' ' + value;
}

const std::string rule(44, '-');
const std::string stars(44, '*');

} // namespace

TakingsReport::TakingsReport(unsigned machineNumber)
    : m_machine(machineNumber), m_seed(machineNumber)
{ }

unsigned TakingsReport::random(unsigned limit)
{
    // A fixed generator: the same machine tells the same story on every run.
    m_seed = m_seed * 1103515245u + 12345u;
    return (m_seed >> 16) % limit;
}

std::string TakingsReport::next(std::time_t when)
{
    if (m_previous == 0)
        m_previous = when - 2 * 86400 - 4 * 3600 - 17 * 60;

    ++m_reading;
    const unsigned coins20 = 200 + random(200);
    const unsigned coins100 = 100 + random(80);
    const unsigned coins200 = 40 + random(40);
    const unsigned notes500 = random(20);
    const std::uint64_t inCents
        = coins20 * 20ull + coins100 * 100ull + coins200 * 200ull + notes500 * 500ull;
    const std::uint64_t creditsIn = inCents / creditCents;
    const std::uint64_t creditsOut = creditsIn * (66 + random(8)) / 100;
    const std::uint64_t plays = creditsIn * (90 + random(20)) / 100;
    const std::uint64_t prizes = plays * (6 + random(3)) / 100;
    const unsigned inPlay = random(25);
    const unsigned doorOpenings = random(3);

    m_creditsIn += creditsIn;
    m_creditsOut += creditsOut;
    m_plays += plays;
    m_prizes += prizes;
    m_doorOpenings += doorOpenings;

    char number[16];
    std::snprintf(number, sizeof number, "%05u", m_machine);
    char reading[16];
    std::snprintf(reading, sizeof reading, "%04u", m_reading);

    const std::string lines[] = {
        stars,
        "*        INFORME DE RECAUDACI\xD3N            *",
        stars,
        field("M\xC1QUINA N\xBA", number),
        field("MODELO", "TIPO B  3 RODILLOS"),
        field("PROGRAMA", "V 3.12"),
        field("FECHA", dateTime(when, "%d/%m/%Y")),
        field("HORA", dateTime(when, "%H:%M:%S")),
        field("LECTURA N\xBA", reading),
        field("LECTURA ANTERIOR", dateTime(m_previous, "%d/%m/%Y %H:%M")),
        rule,
        "CONTADORES GENERALES",
        row("CR\xC9"
            "DITOS ENTRADOS",
            thousands(m_creditsIn)),
        row("CR\xC9"
            "DITOS PAGADOS",
            thousands(m_creditsOut)),
        row("PARTIDAS JUGADAS", thousands(m_plays)),
        row("PREMIOS PAGADOS", thousands(m_prizes)),
        row("CR\xC9"
            "DITOS EN JUEGO",
            thousands(inPlay)),
        row("APERTURAS PUERTA", thousands(m_doorOpenings)),
        rule,
        "PARCIAL DESDE LA \xDALTIMA LECTURA",
        row("MONEDAS 0,20 EUR", thousands(coins20)),
        row("MONEDAS 1,00 EUR", thousands(coins100)),
        row("MONEDAS 2,00 EUR", thousands(coins200)),
        row("BILLETES 5,00 EUR", thousands(notes500)),
        row("ENTRADAS", euros(inCents), "EUR"),
        row("SALIDAS", euros(creditsOut * creditCents), "EUR"),
        row("RECAUDACI\xD3N", euros(inCents - creditsOut * creditCents), "EUR"),
        row("PARTIDAS", thousands(plays)),
        row("PREMIOS", thousands(prizes)),
        row("% DE PREMIOS", percent(creditsOut, creditsIn), "%"),
        rule,
        "TOTALES",
        row("ENTRADAS", euros(m_creditsIn * creditCents), "EUR"),
        row("SALIDAS", euros(m_creditsOut * creditCents), "EUR"),
        row("RECAUDACI\xD3N", euros((m_creditsIn - m_creditsOut) * creditCents), "EUR"),
        row("% DE PREMIOS", percent(m_creditsOut, m_creditsIn), "%"),
        rule,
        field("ESTADO",
            "SIN AVER\xCD"
            "AS"),
        "*** FIN DEL INFORME ***",
    };
    m_previous = when;

    std::string report;
    for (const std::string &line : lines)
        report += line + "\r\n";
    return report;
}
