import type { TreeSummary } from "../api/types";
import { formatTime } from "../components/format";

export type StateFilter = "all" | "none" | "published" | "checkedOut" | "mine";

export const STATE_FILTERS: Array<{ value: StateFilter; label: string }> = [
  { value: "all", label: "Any state" },
  { value: "none", label: "No tree yet" },
  { value: "published", label: "Not checked out" },
  { value: "checkedOut", label: "Checked out by anyone" },
  { value: "mine", label: "Checked out by me" },
];

export function matchesState(tree: TreeSummary | null, filter: StateFilter, me: string): boolean {
  switch (filter) {
    case "all":
      return true;
    case "none":
      return tree === null;
    case "published":
      return tree !== null && !tree.checkedOutBy;
    case "checkedOut":
      return tree !== null && !!tree.checkedOutBy;
    case "mine":
      return tree !== null && tree.checkedOutBy === me;
  }
}

/** Case-blind search over the texts a row shows. */
export function matchesText(search: string, ...texts: Array<string | number | null | undefined>): boolean {
  const needle = search.trim().toLocaleLowerCase();
  if (!needle) return true;
  return texts.some((t) => t !== null && t !== undefined && String(t).toLocaleLowerCase().includes(needle));
}

/** The state of a tree in one sentence. */
export function describeState(tree: TreeSummary | null, me: string): string {
  if (!tree) return "No tree yet";
  const nodes = `${tree.nodes} ${tree.nodes === 1 ? "node" : "nodes"}`;
  if (!tree.checkedOutBy) return `Published, ${nodes}`;
  const who = tree.checkedOutBy === me ? "you" : tree.checkedOutBy;
  const since = tree.checkedOutSince ? ` since ${formatTime(tree.checkedOutSince)}` : "";
  const working = tree.workingNodes !== null ? `; ${tree.workingNodes} in the working copy` : "";
  return `Checked out by ${who}${since} (${nodes} published${working})`;
}
