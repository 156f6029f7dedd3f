// ";"-delimited lists as the engine stores them: ";1;2;" holds "1" and "2", ";" is empty.

export function parseList(list: string | null | undefined): string[] {
  if (!list) return [];
  return list
    .split(";")
    .map((e) => e.trim())
    .filter((e) => e !== "");
}

/** Builds a list from entries, dropping empties and repeats and anything that would break the format. */
export function formatList(entries: readonly string[]): string {
  const seen = new Set<string>();
  const kept: string[] = [];
  for (const raw of entries) {
    const e = raw.trim();
    if (!e || e.includes(";") || seen.has(e)) continue;
    seen.add(e);
    kept.push(e);
  }
  return kept.length ? `;${kept.join(";")};` : ";";
}
