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

interface Scope extends TreeRef {
  /** Kept per signed-in login, so nobody else who signs in to this tab sees them. */
  login: string;
}

const storageKey = (s: Scope) => `tsauthor.drafts.${s.login}.${s.treeType}.${s.id}`;

function load(t: Scope): Drafts {
  try {
    const text = sessionStorage.getItem(storageKey(t));
    return text ? (JSON.parse(text) as Drafts) : {};
  } catch {
    return {};
  }
}

function store(t: Scope, drafts: Drafts): void {
  try {
    if (Object.keys(drafts).length) sessionStorage.setItem(storageKey(t), JSON.stringify(drafts));
    else sessionStorage.removeItem(storageKey(t));
  } catch {
    // A full or disabled storage only loses the copy that survives a reload.
  }
}

export function useDrafts(scope: Scope) {
  const [drafts, setDrafts] = useState<Drafts>(() => load(scope));
  const { treeType, id, login } = scope;

  useEffect(() => setDrafts(load({ treeType, id, login })), [treeType, id, login]);

  const update = useCallback(
    (change: (d: Drafts) => Drafts) =>
      setDrafts((current) => {
        const next = change(current);
        store({ treeType, id, login }, next);
        return next;
      }),
    [treeType, id, login],
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
