import { createContext, useContext, useMemo, useState, type ReactNode } from "react";
import type { NodeType, TreeType } from "../api/types";

/** A node cut or copied, kept while the user moves between trees. */
export interface ClipboardEntry {
  mode: "cut" | "copy";
  treeType: TreeType;
  id: number;
  nodeId: number;
  type: NodeType;
  label: string;
  /** Nodes that go with it, the node included. */
  size: number;
}

interface ClipboardState {
  entry: ClipboardEntry | null;
  setEntry(entry: ClipboardEntry | null): void;
}

const ClipboardContext = createContext<ClipboardState | null>(null);

export function ClipboardProvider({ children }: { children: ReactNode }) {
  const [entry, setEntry] = useState<ClipboardEntry | null>(null);
  const value = useMemo(() => ({ entry, setEntry }), [entry]);
  return <ClipboardContext.Provider value={value}>{children}</ClipboardContext.Provider>;
}

export function useClipboard(): ClipboardState {
  const value = useContext(ClipboardContext);
  if (!value) throw new Error("useClipboard outside ClipboardProvider");
  return value;
}
