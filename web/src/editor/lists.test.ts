import { describe, expect, it } from "vitest";
import { formatList, parseList } from "./lists";

describe("engine lists", () => {
  it("reads entries and treats ';' and '' as empty", () => {
    expect(parseList(";12;40;7;")).toEqual(["12", "40", "7"]);
    expect(parseList(";")).toEqual([]);
    expect(parseList("")).toEqual([]);
    expect(parseList(" ; 3 ;")).toEqual(["3"]);
  });

  it("writes the delimited form, ';' for none", () => {
    expect(formatList(["1", "2"])).toEqual(";1;2;");
    expect(formatList([])).toEqual(";");
  });

  it("never writes an entry that would break the list", () => {
    expect(formatList(["a;b", " x ", "", "x"])).toEqual(";x;");
  });

  it("round-trips", () => {
    expect(formatList(parseList(";5;9;"))).toEqual(";5;9;");
  });
});
