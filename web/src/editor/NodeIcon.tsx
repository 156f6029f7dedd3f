import { CircleHelp, Folder, ListTree, MessageSquare, Wrench } from "lucide-react";
import type { NodeType } from "../api/types";

const ICONS = { 0: ListTree, 1: Folder, 2: CircleHelp, 3: MessageSquare, 4: Wrench } as const;

/** The icon of a node type, in the type's colour; decorative (the text says the type). */
export function NodeIcon({ type, size = 16 }: { type: NodeType; size?: number }) {
  const Icon = ICONS[type];
  return <Icon aria-hidden="true" size={size} className={`type-${type}`} />;
}
