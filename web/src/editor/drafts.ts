// Unsaved edits of nodes, kept per tree for the browser tab: switching nodes,
// a failed save or an ended session never loses typed text. Only node texts
// and settings are kept here, nothing secret.
import { useCallback, useEffect, useState } from "react";
import type { TreeRef } from "../api/edit";

export interface NodeDraft {
  short: string;
  long: string;
  visibilities: string[];
  faqs: string[];
  hyperlink: number;
  propagateContent: boolean;
  propagateDown: boolean;
}

type Drafts = Record<number, NodeDraft>;

const storageKey = (t: TreeRef) => `tsauthor.drafts.${t.treeType}.${t.id}`;

function load(t: TreeRef): Drafts {
  try {
    const text = sessionStorage.getItem(storageKey(t));
    return text ? (JSON.parse(text) as Drafts) : {};
  } catch {
    return {};
  }
}

function store(t: TreeRef, drafts: Drafts): void {
  try {
    if (Object.keys(drafts).length) sessionStorage.setItem(storageKey(t), JSON.stringify(drafts));
    else sessionStorage.removeItem(storageKey(t));
  } catch {
    // A full or disabled storage only loses the copy that survives a reload.
  }
}

export function useDrafts(tree: TreeRef) {
  const [drafts, setDrafts] = useState<Drafts>(() => load(tree));
  const { treeType, id } = tree;

  useEffect(() => setDrafts(load({ treeType, id })), [treeType, id]);

  const update = useCallback(
    (change: (d: Drafts) => Drafts) =>
      setDrafts((current) => {
        const next = change(current);
        store({ treeType, id }, next);
        return next;
      }),
    [treeType, id],
  );

  const put = useCallback((nodeId: number, draft: NodeDraft) => update((d) => ({ ...d, [nodeId]: draft })), [update]);
  const drop = useCallback(
    (nodeId: number) =>
      update((d) => {
        const { [nodeId]: _gone, ...rest } = d;
        void _gone;
        return rest;
      }),
    [update],
  );
  const dropAll = useCallback(() => update(() => ({})), [update]);

  return { drafts, put, drop, dropAll, count: Object.keys(drafts).length };
}
